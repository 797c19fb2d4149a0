// Reading scene files. Every value is checked before it reaches the host, so that whatever a
// file holds the result is either a sound document or one message saying what is wrong where.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "scene_file.h"
#include "scene_loader.h"

namespace pmxapp {

namespace sceneload {

using namespace scene;

namespace {

// The DOM builder of the JSON library, with the position of a failure kept for the message.
class PositionedDomParser : public nlohmann::detail::json_sax_dom_parser<Json> {
 public:
  explicit PositionedDomParser(Json& result)
      : nlohmann::detail::json_sax_dom_parser<Json>(result, false) {}
  template <class Exception>
  bool parse_error(std::size_t position, const std::string&, const Exception& ex) {
    failed = true;
    errorPosition = position;
    errorMessage = ex.what();
    return false;
  }
  bool failed = false;
  std::size_t errorPosition = 0;
  std::string errorMessage;
};

/// Removes the library's prefixes from a parse error: "[json.exception.parse_error.101] parse
/// error at line 1, column 5: syntax error while parsing value - " and the like.
std::string CleanParseMessage(std::string m) {
  if (m.size() > 0 && m[0] == '[') {
    size_t close = m.find("] ");
    if (close != std::string::npos) m.erase(0, close + 2);
  }
  size_t col = m.find("column ");
  if (m.rfind("parse error", 0) == 0 && col != std::string::npos) {
    size_t colon = m.find(": ", col);
    if (colon != std::string::npos) m.erase(0, colon + 2);
  }
  size_t dash = m.find(" - ");
  if (m.rfind("syntax error", 0) == 0 && dash != std::string::npos) m.erase(0, dash + 3);
  return m;
}

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
      const std::string& s = v.get_ref<const std::string&>();
      if (s.size() <= 40) return "the text " + Json(s).dump();
      size_t cut = 37;
      while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
      return "the text " + Json(s.substr(0, cut) + "...").dump();
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

std::unique_ptr<BaseDocument> Loader::Load(const std::string& text) {
  Json root;
  PositionedDomParser dom(root);
  const bool ok = Json::sax_parse(text, &dom, Json::input_format_t::json, /*strict=*/true,
                                  /*ignore_comments=*/true);
  if (!ok || dom.failed) {
    const size_t pos = std::min(dom.errorPosition, text.size());
    size_t line = 1, column = 0;
    for (size_t i = 0; i < pos; ++i) {
      if (text[i] == '\n') {
        ++line;
        column = 0;
      } else {
        ++column;
      }
    }
    if (column == 0) column = 1;
    throw SceneError(file_ + ":" + std::to_string(line) + ":" + std::to_string(column) +
                     ": not valid JSON: " + CleanParseMessage(dom.errorMessage));
  }
  doc_.reset(BaseDocument::Alloc());
  LoadRoot(root);
  return std::move(doc_);
}

std::string Loader::Path() const {
  std::string p;
  for (const auto& s : path_) {
    if (!p.empty() && s[0] != '[') p += '.';
    p += s;
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
    Fail("unknown key " + Json(key).dump() + " (expected one of " + list + ")");
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

const std::string& Loader::Text(const Json& v) const {
  if (!v.is_string()) Expected("a text in double quotes", v);
  return v.get_ref<const std::string&>();
}

Vector Loader::Vec(const Json& v) {
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
    if (auto n = FindValue(table, v.get_ref<const std::string&>())) return *n;
    Fail("unknown " + std::string(what) + " " + v.dump() + " (expected one of " + JoinNames(table) +
         ")");
  }
  if (v.is_number_integer()) return Int(v, INT32_MIN, INT32_MAX, std::string(what) + " number");
  Expected(std::string(what) + " (one of " + JoinNames(table) + ", or a number)", v);
}

UnitScaleData Loader::Unit(const Json& v) {
  if (v.is_string()) {
    if (auto u = ParseUnitScale(v.get_ref<const std::string&>())) return *u;
    Expected("a length such as \"8cm\" or [8, \"cm\"]", v);
  }
  if (!v.is_array() || v.size() != 2 || !v[1].is_string())
    Expected("a length such as [1, \"cm\"] (number and unit)", v);
  const double scale = v[0].is_number() ? v[0].get<double>() : 0.0;
  if (!(std::isfinite(scale) && scale > 0)) {
    At a(*this, Index(0));
    Expected("a positive number", v[0]);
  }
  auto unit = ParseUnitName(v[1].get_ref<const std::string&>());
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

std::unique_ptr<BaseDocument> LoadWithMessages(const std::string& text, const std::string& name,
                                               const std::string& baseDir, std::string* error) {
  try {
    Loader loader(name, baseDir);
    return loader.Load(text);
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
  auto doc = LoadWithMessages(text, displayName, std::string(), error);
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
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot open the scene file (" + std::strerror(errno) + ")";
    return nullptr;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) {
    if (error) *error = path + ": cannot read the scene file";
    return nullptr;
  }
  const fs::path absolute = fs::absolute(fs::path(path), ec).lexically_normal();
  const std::string dir = absolute.parent_path().generic_string();
  auto doc = LoadWithMessages(ss.str(), path, dir, error);
  if (doc) doc->SetDocumentName(Filename(String(absolute.filename().generic_string())));
  return doc;
}

}  // namespace pmxapp
