// Reading scene files. Every value is checked before it reaches the host, so that whatever a
// file holds the result is either a sound document or one message saying what is wrong where.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "mapped_file.h"
#include "message_text.h"
#include "release_behind.h"
#include "scene_file.h"
#include "scene_json.h"
#include "scene_loader.h"

namespace pmxapp {

namespace sceneload {

using namespace scene;

namespace {

/// Text for "got ..." in messages; never the whole of a large value.
std::string Describe(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return v.get<bool>() ? "true" : "false";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return "the number " + v.dump();
    case Json::value_t::string: {
      return "the text " + QuoteForMessage(v.str(), 40);
    }
    case Json::value_t::array:
      return v.empty() ? "an empty array" : "an array of " + std::to_string(v.size()) + " elements";
    case Json::value_t::object:
      return "an object";
    default:
      return "nothing";
  }
}

}  // namespace

std::unique_ptr<BaseDocument> Loader::Load(std::string_view text, bool padded,
                                           const TextHooks& hooks) {
  ParsedScene parsed;
  ParseSceneJson(text, padded, file_, &parsed);
  if (hooks.parsed) hooks.parsed();
  doc_.reset(BaseDocument::Alloc());
  try {
    LoadRoot(parsed.Root());
  } catch (...) {
    // A key given twice is named before anything the loader found.
    if (!parsed.HasDuplicateKey()) throw;
  }
  if (parsed.HasDuplicateKey()) {
    parsed.ReadPrecisely(text, file_);
    doc_.reset(BaseDocument::Alloc());
    LoadRoot(parsed.Root());
  }
  // Messages name places by JSON path from here on: neither the text nor the tree is needed.
  if (hooks.done) hooks.done();
  parsed.ReleaseBehind();
  return std::move(doc_);
}

std::string Loader::Path() const {
  std::string p;
  for (const Piece& s : path_) {
    if (s.isIndex) {
      p += "[" + std::to_string(s.index) + "]";
      continue;
    }
    if (!p.empty() && (s.key.empty() || s.key[0] != '[')) p += '.';
    // Keys come from the file: a huge or garbled one is cut and escaped.
    p += s.key.size() <= kEchoChars ? EscapeForMessage(s.key) : QuoteForMessage(s.key);
  }
  return p;
}

void Loader::Fail(const std::string& what) const {
  const std::string p = Path();
  throw SceneError(file_ + ": " + (p.empty() ? std::string() : p + ": ") + what);
}

void Loader::FailAt(const std::string& where, const std::string& what) const {
  throw SceneError(file_ + ": " + (where.empty() ? std::string() : where + ": ") + what);
}

void Loader::Expected(const std::string& what, const Json& got) const {
  Fail("expected " + what + ", got " + Describe(got));
}

void Loader::CheckObject(const Json& v, const char* what) const {
  if (!v.is_object()) Expected(what, v);
}

void Loader::CheckArray(const Json& v, const char* what) const {
  if (!v.is_array()) Expected(what, v);
}

void Loader::CheckKeys(const Json& obj, std::initializer_list<std::string_view> allowed) const {
  for (const auto& [key, value] : obj.items()) {
    bool found = false;
    for (auto a : allowed) found = found || a == key;
    if (found) continue;
    std::string list;
    for (auto a : allowed) {
      if (!list.empty()) list += ", ";
      list += '"';
      list += a;
      list += '"';
    }
    Fail("unknown key " + QuoteForMessage(key) + " (expected one of " + list + ")");
  }
}

double Loader::Number(const Json& v) const {
  if (!v.is_number()) Expected("a number", v);
  const double d = v.get<double>();
  if (!std::isfinite(d)) Expected("a finite number", v);
  return d;
}

Float32 Loader::Number32(const Json& v) const {
  const double d = Number(v);
  if (std::abs(d) > std::numeric_limits<Float32>::max())
    Fail("the number " + v.dump() + " is too large for single precision");
  return static_cast<Float32>(d);
}

double Loader::Angle(const Json& v) const {
  const double d = Number(v);
  if (std::abs(d) > 1e300) Expected("an angle in degrees between -1e300 and 1e300", v);
  return d;
}

Int64 Loader::Integer(const Json& v, Int64 lo, Int64 hi, const std::string& what) const {
  Int64 n = 0;
  if (v.is_number_integer() && !v.is_number_unsigned()) {
    n = v.get<Int64>();
  } else if (v.is_number_unsigned() &&
             v.get<UInt64>() <= static_cast<UInt64>(std::numeric_limits<Int64>::max())) {
    n = static_cast<Int64>(v.get<UInt64>());
  } else {
    Expected(what, v);
  }
  if (n < lo || n > hi) Expected(what, v);
  return n;
}

Int32 Loader::Int(const Json& v, Int64 lo, Int64 hi, const std::string& what) const {
  return static_cast<Int32>(Integer(v, lo, hi, what));
}

bool Loader::Boolean(const Json& v) const {
  if (!v.is_boolean()) Expected("true or false", v);
  return v.get<bool>();
}

std::string Loader::Text(const Json& v) const {
  if (!v.is_string()) Expected("a text in double quotes", v);
  return v.str();
}

Vector Loader::Vec(const Json& v) {
  double d[3];
  size_t n = 0;
  if (v.ReadNumbers(d, 3, &n) && n == 3 && std::isfinite(d[0]) && std::isfinite(d[1]) &&
      std::isfinite(d[2]))
    return Vector(d[0], d[1], d[2]);
  if (!v.is_array() || v.size() != 3) Expected("[x, y, z]", v);
  Vector r;
  {
    At a(*this, Index(0));
    r.x = Number(v[0]);
  }
  {
    At a(*this, Index(1));
    r.y = Number(v[1]);
  }
  {
    At a(*this, Index(2));
    r.z = Number(v[2]);
  }
  return r;
}

Vector32 Loader::Vec32(const Json& v, bool allowTwo) {
  double d[3] = {0, 0, 0};
  size_t n = 0;
  if (v.ReadNumbers(d, 3, &n) && n >= (allowTwo ? 2u : 3u)) {
    constexpr double kMax = std::numeric_limits<Float32>::max();
    bool fits = true;
    for (size_t i = 0; i < n; ++i) fits = fits && std::isfinite(d[i]) && std::abs(d[i]) <= kMax;
    if (fits)
      return Vector32(static_cast<Float32>(d[0]), static_cast<Float32>(d[1]),
                      static_cast<Float32>(d[2]));
  }
  if (!v.is_array() || v.size() < (allowTwo ? 2u : 3u) || v.size() > 3)
    Expected(allowTwo ? "[u, v] or [u, v, w]" : "[x, y, z]", v);
  Vector32 r;
  Float32* c[3] = {&r.x, &r.y, &r.z};
  for (size_t i = 0; i < v.size(); ++i) {
    At a(*this, Index(i));
    *c[i] = Number32(v[i]);
  }
  return r;
}

Int32 Loader::Named(const Json& v, const std::vector<NamedValue>& table, const char* what) const {
  if (v.is_string()) {
    if (auto n = FindValue(table, v.str())) return *n;
    Fail("unknown " + std::string(what) + " " + QuoteForMessage(v.str()) + " (expected one of " +
         JoinNames(table) + ")");
  }
  if (v.is_number_integer()) return Int(v, INT32_MIN, INT32_MAX, std::string(what) + " number");
  Expected(std::string(what) + " (one of " + JoinNames(table) + ", or a number)", v);
}

UnitScaleData Loader::Unit(const Json& v) {
  if (v.is_string()) {
    if (auto u = ParseUnitScale(v.str())) return *u;
    Expected("a length such as \"8cm\" or [8, \"cm\"]", v);
  }
  if (!v.is_array() || v.size() != 2 || !v[1].is_string())
    Expected("a length such as [1, \"cm\"] (number and unit)", v);
  const double scale = v[0].is_number() ? v[0].get<double>() : 0.0;
  if (!(std::isfinite(scale) && scale > 0)) {
    At a(*this, Index(0));
    Expected("a positive number", v[0]);
  }
  auto unit = ParseUnitName(v[1].str());
  if (!unit) {
    At a(*this, Index(1));
    Expected("a unit (km, m, cm, mm, um, nm, mi, yd, ft, in)", v[1]);
  }
  return UnitScaleData(scale, *unit);
}

void Loader::CheckRef(const Json& v, LinkKind kind) const {
  if (v.is_string()) return;
  if (v.is_object() && v.size() == 1) {
    if (v.contains("id") && v["id"].is_string()) return;
    if (kind != LinkKind::Object && v.contains("material") && v["material"].is_string()) return;
  }
  Expected(kind == LinkKind::Material ? "a material name or {\"id\": \"...\"}"
                                      : "an object name or {\"id\": \"...\"}",
           v);
}

void Loader::Defer(const Json& ref, LinkKind kind, std::function<void(BaseList2D*)> apply) {
  CheckRef(ref, kind);
  links_.push_back(PendingLink{Path(), ref, kind, std::move(apply)});
}

}  // namespace sceneload

namespace {

using sceneload::Loader;
using sceneload::SceneError;

/// Files at least this large give their pages back once parsed.
constexpr size_t kDropPagesFrom = size_t(8) << 20;

std::unique_ptr<BaseDocument> LoadWithMessages(std::string_view text, bool padded,
                                               const Loader::TextHooks& hooks,
                                               const std::string& name, const std::string& baseDir,
                                               std::string* error) {
  try {
    Loader loader(name, baseDir);
    return loader.Load(text, padded, hooks);
  } catch (const SceneError& e) {
    if (error) *error = e.what();
  } catch (const std::bad_alloc&) {
    if (error) *error = name + ": not enough memory to load the scene";
  } catch (const std::exception& e) {
    if (error) *error = name + ": cannot load the scene: " + e.what();
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<BaseDocument> LoadSceneText(const std::string& text, const std::string& displayName,
                                            std::string* error) {
  auto doc = LoadWithMessages(text, false, {}, displayName, std::string(), error);
  if (doc) doc->SetDocumentName(Filename(String(displayName)).GetFile());
  return doc;
}

std::unique_ptr<BaseDocument> LoadSceneFile(const std::string& path, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::is_directory(fs::path(path), ec)) {
    if (error) *error = path + ": is a folder, not a scene file";
    return nullptr;
  }
  const fs::path absolute = fs::absolute(fs::path(path), ec).lexically_normal();
  const std::string dir = absolute.parent_path().generic_string();
  auto named = [&](std::unique_ptr<BaseDocument> doc) {
    if (doc) doc->SetDocumentName(Filename(String(absolute.filename().generic_string())));
    return doc;
  };
  // A regular file is mapped rather than read: no copy, and no fresh pages to clear.
  std::string reason;
  if (std::shared_ptr<MappedFile> mapped = MappedFile::Open(path, &reason)) {
    bool cutShort = false;
    Loader::TextHooks hooks;
    // The parse has copied what it needs from a large file into its tree: the pages are
    // dropped meanwhile (what is read again comes back from the file).
    hooks.parsed = [&] {
      if (mapped->Bytes().size() >= kDropPagesFrom) ReleaseBehind([m = mapped] { m->DropPages(); });
    };
    hooks.done = [&] {
      cutShort = mapped->CutShort();
      ReleaseBehind([m = std::move(mapped)] {});
    };
    auto doc = LoadWithMessages(mapped->Bytes(), true, hooks, path, dir, error);
    if (cutShort || (mapped && mapped->CutShort())) {
      if (error) *error = path + ": the file was cut short while it was being read";
      return nullptr;
    }
    return named(std::move(doc));
  }
  // Anything else (a pipe, a device) is read as a stream.
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot open the scene file (" + std::strerror(errno) + ")";
    return nullptr;
  }
  // Read straight into one string of the file's size: a stream buffer and its copy would need
  // twice the memory of a large scene at once.
  std::string text;
  try {
    const auto size = fs::file_size(fs::path(path), ec);
    // Room for the fast parser to read past the end, so that it need not copy the text.
    text.reserve((ec ? 0 : static_cast<size_t>(size)) + sceneload::kParsePadding);
    text.resize(ec ? 0 : static_cast<size_t>(size));
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    // A file that grew meanwhile, or one whose size the system does not tell.
    if (in) text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::bad_alloc&) {
    if (error) *error = path + ": not enough memory to read the scene file";
    return nullptr;
  }
  if (in.bad()) {
    if (error) *error = path + ": cannot read the scene file";
    return nullptr;
  }
  // A text that grew past the room reserved for the fast parser is copied by the parse.
  const bool padded = text.capacity() - text.size() >= sceneload::kParsePadding;
  Loader::TextHooks hooks;
  hooks.done = [&] { std::string().swap(text); };
  return named(LoadWithMessages(text, padded, hooks, path, dir, error));
}

}  // namespace pmxapp
