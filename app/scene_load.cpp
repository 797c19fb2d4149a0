// Reading scene files. Every value is checked before it reaches the host, so that whatever a
// file holds the result is either a sound document or one message saying what is wrong where.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "scene_file.h"
#include "scene_format.h"

namespace pmxapp {

namespace {

using Json = nlohmann::json;
using namespace scene;

class SceneError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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

/// How an unresolved reference is looked up once the whole scene is loaded.
enum class LinkKind { Object, Material, Any };

struct PendingLink {
  std::string where;  // JSON path, for the message
  Json ref;           // a name or {"id": ...} / {"material": ...}, already checked
  LinkKind kind;
  std::function<void(BaseList2D*)> apply;
};

/// Parameter types from a plug-in's description, so that values are stored as the host
/// stores them (a float parameter written as 1 still becomes a float).
using ParamTypes = std::map<Int32, Int32>;

class Loader {
 public:
  Loader(std::string displayName, std::string baseDir)
      : file_(std::move(displayName)), baseDir_(std::move(baseDir)) {}

  std::unique_ptr<BaseDocument> Load(const std::string& text) {
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

 private:
  // ----- messages and paths -----

  class At {
   public:
    At(Loader& l, std::string piece) : l_(l) { l_.path_.push_back(std::move(piece)); }
    ~At() { l_.path_.pop_back(); }
    At(const At&) = delete;
    At& operator=(const At&) = delete;

   private:
    Loader& l_;
  };
  static std::string Index(size_t i) { return "[" + std::to_string(i) + "]"; }

  std::string Path() const {
    std::string p;
    for (const auto& s : path_) {
      if (!p.empty() && s[0] != '[') p += '.';
      p += s;
    }
    return p;
  }

  [[noreturn]] void Fail(const std::string& what) const {
    const std::string p = Path();
    throw SceneError(file_ + ": " + (p.empty() ? std::string() : p + ": ") + what);
  }
  [[noreturn]] void FailAt(const std::string& where, const std::string& what) const {
    throw SceneError(file_ + ": " + (where.empty() ? std::string() : where + ": ") + what);
  }
  [[noreturn]] void Expected(const std::string& what, const Json& got) const {
    Fail("expected " + what + ", got " + Describe(got));
  }

  // ----- checked readers -----

  void CheckObject(const Json& v, const char* what) const {
    if (!v.is_object()) Expected(what, v);
  }
  void CheckArray(const Json& v, const char* what) const {
    if (!v.is_array()) Expected(what, v);
  }

  /// Fails on a key that `allowed` does not list: a misspelt key would otherwise be ignored
  /// without a word.
  void CheckKeys(const Json& obj, std::initializer_list<std::string_view> allowed) const {
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

  static const Json* Member(const Json& obj, const char* key) {
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
  }

  double Number(const Json& v) const {
    if (!v.is_number()) Expected("a number", v);
    const double d = v.get<double>();
    if (!std::isfinite(d)) Expected("a finite number", v);
    return d;
  }

  Float32 Number32(const Json& v) const {
    const double d = Number(v);
    if (std::abs(d) > std::numeric_limits<Float32>::max())
      Fail("the number " + v.dump() + " is too large for single precision");
    return static_cast<Float32>(d);
  }

  /// Degrees; bounded so that converting to radians and back cannot overflow.
  double Angle(const Json& v) const {
    const double d = Number(v);
    if (std::abs(d) > 1e300) Expected("an angle in degrees between -1e300 and 1e300", v);
    return d;
  }

  Int64 Integer(const Json& v, Int64 lo, Int64 hi, const std::string& what) const {
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
  Int32 Int(const Json& v, Int64 lo, Int64 hi, const std::string& what) const {
    return static_cast<Int32>(Integer(v, lo, hi, what));
  }

  bool Boolean(const Json& v) const {
    if (!v.is_boolean()) Expected("true or false", v);
    return v.get<bool>();
  }

  const std::string& Text(const Json& v) const {
    if (!v.is_string()) Expected("a text in double quotes", v);
    return v.get_ref<const std::string&>();
  }

  Vector Vec(const Json& v) {
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

  /// [x, y] or [x, y, z] in single precision (UVW coordinates, normals).
  Vector32 Vec32(const Json& v, bool allowTwo) {
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

  Int32 Named(const Json& v, const std::vector<NamedValue>& table, const char* what) const {
    if (v.is_string()) {
      if (auto n = FindValue(table, v.get_ref<const std::string&>())) return *n;
      Fail("unknown " + std::string(what) + " " + v.dump() + " (expected one of " +
           JoinNames(table) + ")");
    }
    if (v.is_number_integer()) return Int(v, INT32_MIN, INT32_MAX, std::string(what) + " number");
    Expected(std::string(what) + " (one of " + JoinNames(table) + ", or a number)", v);
  }

  UnitScaleData Unit(const Json& v) {
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

  /// A reference to another element: a name or {"id": ...} (or {"material": name}).
  void CheckRef(const Json& v, LinkKind kind) const {
    if (v.is_string()) return;
    if (v.is_object() && v.size() == 1) {
      if (v.contains("id") && v["id"].is_string()) return;
      if (kind != LinkKind::Object && v.contains("material") && v["material"].is_string()) return;
    }
    Expected(kind == LinkKind::Material ? "a material name or {\"id\": \"...\"}"
                                        : "an object name or {\"id\": \"...\"}",
             v);
  }

  void Defer(const Json& ref, LinkKind kind, std::function<void(BaseList2D*)> apply) {
    CheckRef(ref, kind);
    links_.push_back(PendingLink{Path(), ref, kind, std::move(apply)});
  }

  // ----- the document -----

  void LoadRoot(const Json& root) {
    CheckObject(root, "a scene object { \"scene\": 1, \"objects\": [...] }");
    CheckKeys(root, {"scene", "document", "materials", "objects"});
    if (const Json* v = Member(root, "scene")) {
      At a(*this, "scene");
      if (!v->is_number_integer() || *v != kSceneVersion)
        Expected("the scene format version " + std::to_string(kSceneVersion), *v);
    }
    if (const Json* v = Member(root, "document")) {
      At a(*this, "document");
      LoadDocumentSettings(*v);
    } else if (!baseDir_.empty()) {
      doc_->SetDocumentPath(Filename(String(baseDir_)));
    }
    if (const Json* v = Member(root, "materials")) {
      At a(*this, "materials");
      CheckArray(*v, "an array of materials");
      for (size_t i = 0; i < v->size(); ++i) {
        At b(*this, Index(i));
        LoadMaterial((*v)[i]);
      }
    }
    if (const Json* v = Member(root, "objects")) {
      At a(*this, "objects");
      CheckArray(*v, "an array of objects");
      for (size_t i = 0; i < v->size(); ++i) {
        At b(*this, Index(i));
        BaseObject* op = LoadObject((*v)[i], 1, false);
        doc_->InsertObjectLast(op);
      }
    }
    ResolveLinks();
  }

  void LoadDocumentSettings(const Json& d) {
    CheckObject(d, "an object with the document settings");
    CheckKeys(d, {"unit", "mode", "path", "params"});
    BaseContainer* bc = doc_->GetDataInstance();
    std::vector<Int32> named;
    if (const Json* v = Member(d, "unit")) {
      At a(*this, "unit");
      bc->SetData(DOCUMENT_DOCUNIT, GeData(Unit(*v)));
      named.push_back(DOCUMENT_DOCUNIT);
    }
    if (const Json* v = Member(d, "mode")) {
      At a(*this, "mode");
      doc_->SetMode(Named(*v, DocumentModeNames(), "editing mode"));
      named.push_back(DOCUMENT_MODE);
    }
    std::string path = baseDir_;
    if (const Json* v = Member(d, "path")) {
      At a(*this, "path");
      std::filesystem::path p = std::filesystem::path(Text(*v));
      if (p.is_relative() && !baseDir_.empty()) p = std::filesystem::path(baseDir_) / p;
      path = p.lexically_normal().generic_string();
    }
    doc_->SetDocumentPath(Filename(String(path)));
    if (const Json* v = Member(d, "params")) {
      At a(*this, "params");
      LoadParams(*v, bc, nullptr, named, {});
    }
  }

  // ----- materials -----

  void LoadMaterial(const Json& m) {
    CheckObject(m, "a material object");
    std::vector<std::string_view> keys = {"name", "id", "type", "params"};
    for (const auto& c : ChannelNames()) keys.push_back(c.name);
    for (const auto& [key, value] : m.items()) {
      if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
        std::string list;
        for (auto k : keys) list += (list.empty() ? "\"" : ", \"") + std::string(k) + "\"";
        Fail("unknown key " + Json(key).dump() + " (expected one of " + list + ")");
      }
    }
    Int32 type = Mmaterial;
    if (const Json* v = Member(m, "type")) {
      At a(*this, "type");
      if (v->is_string() && v->get_ref<const std::string&>() == "material") {
        type = Mmaterial;
      } else {
        type = Int(*v, 1, INT32_MAX, "\"material\" or a material type number");
      }
    }
    std::unique_ptr<BaseMaterial> mat(BaseMaterial::Alloc(type));
    if (!mat) Fail("the host could not create a material of type " + std::to_string(type));
    if (const Json* v = Member(m, "name")) {
      At a(*this, "name");
      mat->SetName(String(Text(*v)));
    }
    if (const Json* v = Member(m, "id")) {
      At a(*this, "id");
      RegisterId(Text(*v), mat.get());
    }
    for (const auto& c : ChannelNames()) {
      const Json* v = Member(m, std::string(c.name).c_str());
      if (!v) continue;
      At a(*this, std::string(c.name));
      LoadChannel(*v, mat.get(), c.value);
    }
    if (const Json* v = Member(m, "params")) {
      At a(*this, "params");
      LoadParams(*v, mat->GetDataInstance(), nullptr, {}, {});
    }
    doc_->InsertMaterial(mat.release());
  }

  void LoadChannel(const Json& c, BaseMaterial* mat, Int32 channel) {
    CheckObject(c, "a channel object such as {\"on\": true, \"color\": [1, 1, 1]}");
    CheckKeys(c, {"on", "color", "brightness", "texture", "params"});
    bool on = true;
    if (const Json* v = Member(c, "on")) {
      At a(*this, "on");
      on = Boolean(*v);
    }
    mat->SetChannelState(channel, on);
    BaseContainer* bc = mat->GetChannel(channel)->GetDataInstance();
    std::vector<Int32> named;
    if (const Json* v = Member(c, "color")) {
      At a(*this, "color");
      bc->SetVector(BASECHANNEL_COLOR_EX, Vec(*v));
      named.push_back(BASECHANNEL_COLOR_EX);
    }
    if (const Json* v = Member(c, "brightness")) {
      At a(*this, "brightness");
      bc->SetFloat(BASECHANNEL_BRIGHTNESS_EX, Number(*v));
      named.push_back(BASECHANNEL_BRIGHTNESS_EX);
    }
    if (const Json* v = Member(c, "texture")) {
      At a(*this, "texture");
      bc->SetString(BASECHANNEL_TEXTURE, String(Text(*v)));
      named.push_back(BASECHANNEL_TEXTURE);
    }
    if (const Json* v = Member(c, "params")) {
      At a(*this, "params");
      LoadParams(*v, bc, nullptr, named, {});
    }
  }

  // ----- objects -----

  BaseObject* LoadObject(const Json& o, int depth, bool inCache) {
    if (depth > kMaxDepth)
      Fail("objects are nested more than " + std::to_string(kMaxDepth) + " levels deep");
    CheckObject(o, "an object such as {\"type\": \"null\", \"name\": \"...\"}");
    CheckKeys(o, {"type",          "name",   "id",       "selected",       "pos",
                  "rot",           "scale",  "order",    "render",         "editor",
                  "bits",          "points", "polygons", "pointSelection", "polygonSelection",
                  "edgeSelection", "tags",   "params",   "cache",          "deformCache",
                  "children"});
    const Json* typeJson = Member(o, "type");
    if (!typeJson)
      Fail("missing \"type\" (one of " + JoinNames(ObjectTypeNames()) + ", or a number)");
    Int32 type;
    {
      At a(*this, "type");
      type = Named(*typeJson, ObjectTypeNames(), "object type");
    }
    std::unique_ptr<BaseObject> op(BaseObject::Alloc(type));
    if (!op) Fail("the host could not create an object of type " + std::to_string(type));
    auto* poly = dynamic_cast<PolygonObject*>(op.get());

    if (const Json* v = Member(o, "name")) {
      At a(*this, "name");
      op->SetName(String(Text(*v)));
    }
    if (const Json* v = Member(o, "id")) {
      At a(*this, "id");
      RegisterId(Text(*v), op.get());
    }
    if (const Json* v = Member(o, "pos")) {
      At a(*this, "pos");
      op->SetRelPos(Vec(*v));
    }
    if (const Json* v = Member(o, "rot")) {
      At a(*this, "rot");
      if (!v->is_array() || v->size() != 3) Expected("[x, y, z] in degrees", *v);
      Float r[3];
      for (size_t i = 0; i < 3; ++i) {
        At b(*this, Index(i));
        r[i] = Rad(Angle((*v)[i]));
      }
      op->SetRelRot(Vector(r[0], r[1], r[2]));
    }
    if (const Json* v = Member(o, "scale")) {
      At a(*this, "scale");
      op->SetRelScale(Vec(*v));
    }
    if (const Json* v = Member(o, "order")) {
      At a(*this, "order");
      if (!v->is_string())
        Expected("a rotation order (" + JoinNames(RotationOrderNames()) + ")", *v);
      op->SetRotationOrder(
          static_cast<ROTATIONORDER>(Named(*v, RotationOrderNames(), "rotation order")));
    }
    if (const Json* v = Member(o, "render")) {
      At a(*this, "render");
      op->SetRenderMode(Visibility(*v));
    }
    if (const Json* v = Member(o, "editor")) {
      At a(*this, "editor");
      op->SetEditorMode(Visibility(*v));
    }
    if (const Json* v = Member(o, "bits")) {
      At a(*this, "bits");
      op->SetAllBits(op->GetAllBits() | Bits(*v));
    }
    if (const Json* v = Member(o, "selected")) {
      At a(*this, "selected");
      if (Boolean(*v)) op->SetBit(BIT_ACTIVE);
    }

    const char* geometryKeys[] = {"points", "polygons", "pointSelection", "polygonSelection",
                                  "edgeSelection"};
    if (!poly) {
      for (const char* k : geometryKeys) {
        if (Member(o, k))
          Fail("\"" + std::string(k) + "\" needs a polygon object (this object's type is " +
               typeJson->dump() + ")");
      }
    } else {
      LoadGeometry(o, poly);
    }

    if (const Json* v = Member(o, "tags")) {
      At a(*this, "tags");
      CheckArray(*v, "an array of tags");
      for (size_t i = 0; i < v->size(); ++i) {
        At b(*this, Index(i));
        LoadTag((*v)[i], op.get());
      }
    }
    if (const Json* v = Member(o, "params")) {
      At a(*this, "params");
      LoadParams(*v, op->GetDataInstance(), TypesOf(type), {}, {});
    }
    if (const Json* v = Member(o, "cache")) {
      At a(*this, "cache");
      op->SetCache(LoadChain(*v, depth));
    }
    if (const Json* v = Member(o, "deformCache")) {
      At a(*this, "deformCache");
      op->SetDeformCache(LoadChain(*v, depth));
    }
    if (!inCache) mainTree_.push_back(op.get());
    if (const Json* v = Member(o, "children")) {
      At a(*this, "children");
      CheckArray(*v, "an array of objects");
      for (size_t i = 0; i < v->size(); ++i) {
        At b(*this, Index(i));
        BaseObject* child = LoadObject((*v)[i], depth + 1, inCache);
        child->InsertUnderLast(op.get());
      }
    }
    return op.release();
  }

  /// A chain of sibling objects standing for a generator's or deformer's result.
  BaseObject* LoadChain(const Json& v, int depth) {
    CheckArray(v, "an array of objects");
    // Members are owned one by one until the whole chain has loaded (a node does not free
    // its next sibling).
    std::vector<std::unique_ptr<BaseObject>> members;
    for (size_t i = 0; i < v.size(); ++i) {
      At b(*this, Index(i));
      members.emplace_back(LoadObject(v[i], depth + 1, true));
    }
    for (size_t i = 1; i < members.size(); ++i) members[i]->InsertAfter(members[i - 1].get());
    BaseObject* first = members.empty() ? nullptr : members[0].get();
    for (auto& m : members) m.release();
    return first;
  }

  Int32 Visibility(const Json& v) const {
    if (!v.is_string()) Expected("\"on\", \"off\" or \"default\"", v);
    return Named(v, VisibilityNames(), "visibility");
  }

  Int32 Bits(const Json& v) {
    if (v.is_number_integer()) return Int(v, 0, INT32_MAX, "a bit mask");
    if (!v.is_array())
      Expected("an array of bit names (" + JoinNames(BitNames()) + ") or numbers", v);
    Int32 bits = 0;
    for (size_t i = 0; i < v.size(); ++i) {
      At a(*this, Index(i));
      if (v[i].is_string()) {
        bits |= Named(v[i], BitNames(), "bit");
      } else {
        bits |= Int(v[i], 0, INT32_MAX, "a bit name (" + JoinNames(BitNames()) + ") or a number");
      }
    }
    return bits;
  }

  void LoadGeometry(const Json& o, PolygonObject* poly) {
    const Json* pts = Member(o, "points");
    const Json* polys = Member(o, "polygons");
    size_t pcnt = 0, vcnt = 0;
    if (pts) {
      At a(*this, "points");
      CheckArray(*pts, "an array of points [x, y, z]");
      pcnt = pts->size();
    }
    if (polys) {
      At a(*this, "polygons");
      CheckArray(*polys, "an array of polygons [a, b, c] or [a, b, c, d]");
      vcnt = polys->size();
    }
    if (pcnt > static_cast<size_t>(INT32_MAX) || vcnt > static_cast<size_t>(INT32_MAX))
      Fail("too many points or polygons");
    if (!poly->ResizeObject(static_cast<Int32>(pcnt), static_cast<Int32>(vcnt)))
      Fail("the host could not make room for the points and polygons");
    if (pts) {
      At a(*this, "points");
      Vector* w = poly->GetPointW();
      for (size_t i = 0; i < pcnt; ++i) {
        At b(*this, Index(i));
        w[i] = Vec((*pts)[i]);
      }
    }
    if (polys) {
      At a(*this, "polygons");
      CPolygon* w = poly->GetPolygonW();
      const Int64 maxIndex = static_cast<Int64>(pcnt) - 1;
      const std::string what = pcnt == 0 ? "no point index (the object has no points)"
                                         : "a point index from 0 to " + std::to_string(maxIndex);
      for (size_t i = 0; i < vcnt; ++i) {
        At b(*this, Index(i));
        const Json& p = (*polys)[i];
        if (!p.is_array() || (p.size() != 3 && p.size() != 4))
          Expected("a polygon [a, b, c] or [a, b, c, d]", p);
        Int32 idx[4];
        for (size_t k = 0; k < p.size(); ++k) {
          At c(*this, Index(k));
          idx[k] = Int(p[k], 0, maxIndex, what);
        }
        w[i] = p.size() == 3 ? CPolygon(idx[0], idx[1], idx[2])
                             : CPolygon(idx[0], idx[1], idx[2], idx[3]);
      }
    }
    const Int32 points = static_cast<Int32>(pcnt), polygons = static_cast<Int32>(vcnt);
    if (const Json* v = Member(o, "pointSelection")) {
      At a(*this, "pointSelection");
      Selection(*v, poly->GetPointS(), points, "point");
    }
    if (const Json* v = Member(o, "polygonSelection")) {
      At a(*this, "polygonSelection");
      Selection(*v, poly->GetPolygonS(), polygons, "polygon");
    }
    if (const Json* v = Member(o, "edgeSelection")) {
      At a(*this, "edgeSelection");
      Selection(*v, poly->GetEdgeS(), EdgeCount(polygons), "edge");
    }
  }

  static Int32 EdgeCount(Int32 polygons) {
    return polygons > INT32_MAX / 4 ? INT32_MAX : polygons * 4;
  }

  /// Indices and inclusive ranges [first, last] below `count`.
  void Selection(const Json& v, BaseSelect* sel, Int32 count, const char* element) {
    CheckArray(v, "an array of indices and [first, last] ranges");
    const std::string what =
        count == 0 ? std::string("no ") + element + " index (the object has no " + element + "s)"
                   : std::string(element[0] == 'e' ? "an " : "a ") + element + " index from 0 to " +
                         std::to_string(count - 1);
    for (size_t i = 0; i < v.size(); ++i) {
      At a(*this, Index(i));
      const Json& e = v[i];
      if (e.is_array()) {
        if (e.size() != 2) Expected("a range [first, last]", e);
        Int32 lo, hi;
        {
          At b(*this, Index(0));
          lo = Int(e[0], 0, Int64(count) - 1, what);
        }
        {
          At b(*this, Index(1));
          hi = Int(e[1], 0, Int64(count) - 1, what);
        }
        if (lo > hi) Fail("a range [first, last] needs first <= last");
        sel->SelectAll(lo, hi);
      } else {
        sel->Select(Int(e, 0, Int64(count) - 1, what));
      }
    }
  }

  // ----- tags -----

  void LoadTag(const Json& t, BaseObject* op) {
    CheckObject(t, "a tag object such as {\"type\": \"phong\"}");
    const Json* typeJson = Member(t, "type");
    if (!typeJson) Fail("missing \"type\" (one of " + JoinNames(TagTypeNames()) + ", or a number)");
    Int32 type;
    {
      At a(*this, "type");
      type = Named(*typeJson, TagTypeNames(), "tag type");
      if (type == Tpoint || type == Tpolygon)
        Fail("points and polygons are given by the object's \"points\" and \"polygons\"");
    }
    auto* poly = dynamic_cast<PolygonObject*>(op);
    const std::string_view typeName = FindName(TagTypeNames(), type);
    auto needPolygonObject = [&]() {
      if (!poly)
        Fail("a " + std::string(typeName) + " tag needs a polygon object (with \"points\")");
    };
    std::unique_ptr<BaseTag> tag;
    std::vector<Int32> named;
    switch (type) {
      case Tuvw: {
        CheckKeys(t, {"type", "name", "active", "params", "uvw"});
        needPolygonObject();
        tag.reset(LoadCorners(t, "uvw", poly, true));
        break;
      }
      case Tnormal: {
        CheckKeys(t, {"type", "name", "active", "params", "normals"});
        needPolygonObject();
        tag.reset(LoadCorners(t, "normals", poly, false));
        break;
      }
      case Tphong: {
        CheckKeys(t, {"type", "name", "active", "params", "angle", "limit"});
        tag.reset(BaseTag::Alloc(Tphong));
        BaseContainer* bc = tag->GetDataInstance();
        if (const Json* v = Member(t, "limit")) {
          At a(*this, "limit");
          bc->SetBool(PHONGTAG_PHONG_ANGLELIMIT, Boolean(*v));
          named.push_back(PHONGTAG_PHONG_ANGLELIMIT);
        }
        if (const Json* v = Member(t, "angle")) {
          At a(*this, "angle");
          bc->SetFloat(PHONGTAG_PHONG_ANGLE, Rad(Angle(*v)));
          named.push_back(PHONGTAG_PHONG_ANGLE);
        }
        break;
      }
      case Ttexture: {
        CheckKeys(t, {"type", "name", "active", "params", "material", "restriction"});
        auto* tex = TextureTag::Alloc();
        tag.reset(tex);
        if (const Json* v = Member(t, "material")) {
          At a(*this, "material");
          if (v->is_null()) {
            tex->SetMaterial(nullptr);
          } else {
            Defer(*v, LinkKind::Material,
                  [tex](BaseList2D* m) { tex->SetMaterial(static_cast<BaseMaterial*>(m)); });
          }
          named.push_back(TEXTURETAG_MATERIAL);
        }
        if (const Json* v = Member(t, "restriction")) {
          At a(*this, "restriction");
          tex->GetDataInstance()->SetString(TEXTURETAG_RESTRICTION, String(Text(*v)));
          named.push_back(TEXTURETAG_RESTRICTION);
        }
        break;
      }
      case Tpolygonselection:
      case Tpointselection:
      case Tedgeselection: {
        CheckKeys(t, {"type", "name", "active", "params", "indices"});
        needPolygonObject();
        auto* st = SelectionTag::Alloc(type);
        tag.reset(st);
        if (const Json* v = Member(t, "indices")) {
          At a(*this, "indices");
          if (type == Tpointselection) {
            Selection(*v, st->GetBaseSelect(), poly->GetPointCount(), "point");
          } else if (type == Tpolygonselection) {
            Selection(*v, st->GetBaseSelect(), poly->GetPolygonCount(), "polygon");
          } else {
            Selection(*v, st->GetBaseSelect(), EdgeCount(poly->GetPolygonCount()), "edge");
          }
        }
        break;
      }
      case Tweights: {
        CheckKeys(t, {"type", "name", "active", "params", "joints", "weights"});
        needPolygonObject();
        auto* wt = CAWeightTag::Alloc();
        tag.reset(wt);
        LoadWeights(t, wt, poly->GetPointCount());
        break;
      }
      case Tvertexmap: {
        CheckKeys(t, {"type", "name", "active", "params", "values"});
        needPolygonObject();
        const Json* v = Member(t, "values");
        if (!v) Fail("a vertexmap tag needs \"values\" (one number per point)");
        At a(*this, "values");
        const Int32 n = poly->GetPointCount();
        if (!v->is_array() || v->size() != static_cast<size_t>(n))
          Expected("an array of " + std::to_string(n) + " numbers (one per point)", *v);
        auto* vm = VariableTag::Alloc(Tvertexmap, n);
        if (!vm) Fail("the host could not create the vertex map");
        tag.reset(vm);
        Float32* w = vm->Write<Float32>();
        for (Int32 i = 0; i < n; ++i) {
          At b(*this, Index(static_cast<size_t>(i)));
          w[i] = Number32((*v)[static_cast<size_t>(i)]);
        }
        break;
      }
      default: {
        CheckKeys(t, {"type", "name", "active", "params"});
        tag.reset(BaseTag::Alloc(type));
        if (!tag)
          Fail("the plug-in of tag type " + std::to_string(type) + " could not create the tag");
        break;
      }
    }
    if (const Json* v = Member(t, "name")) {
      At a(*this, "name");
      tag->SetName(String(Text(*v)));
    }
    if (const Json* v = Member(t, "active")) {
      At a(*this, "active");
      if (Boolean(*v)) tag->SetBit(BIT_ACTIVE);
    }
    if (const Json* v = Member(t, "params")) {
      At a(*this, "params");
      LoadParams(*v, tag->GetDataInstance(), TypesOf(type), named, {});
    }
    op->InsertTagLast(tag.release());
  }

  /// UVW or normal tags: four corners per polygon ([a, b, c] for triangles).
  VariableTag* LoadCorners(const Json& t, const char* key, PolygonObject* poly, bool uvw) {
    const Json* v = Member(t, key);
    if (!v)
      Fail(std::string("a ") + (uvw ? "uvw" : "normal") + " tag needs \"" + key +
           "\" (the corners of each polygon)");
    At a(*this, key);
    const Int32 n = poly->GetPolygonCount();
    if (!v->is_array() || v->size() != static_cast<size_t>(n))
      Expected("an array of " + std::to_string(n) + " entries (one per polygon)", *v);
    std::unique_ptr<VariableTag> tag(VariableTag::Alloc(uvw ? Tuvw : Tnormal, n));
    if (!tag) Fail("the host could not create the tag");
    Vector32* w = tag->Write<Vector32>();
    for (Int32 i = 0; i < n; ++i) {
      At b(*this, Index(static_cast<size_t>(i)));
      const Json& c = (*v)[static_cast<size_t>(i)];
      if (!c.is_array() || (c.size() != 3 && c.size() != 4))
        Expected("the corners of a polygon: an array of 3 or 4 entries", c);
      for (size_t k = 0; k < c.size(); ++k) {
        At d(*this, Index(k));
        w[static_cast<size_t>(i) * 4 + k] = Vec32(c[k], uvw);
      }
      if (c.size() == 3) w[static_cast<size_t>(i) * 4 + 3] = w[static_cast<size_t>(i) * 4 + 2];
    }
    return tag.release();
  }

  void LoadWeights(const Json& t, CAWeightTag* wt, Int32 pointCount) {
    const Json* joints = Member(t, "joints");
    const Json* weights = Member(t, "weights");
    if (!joints && !weights) return;
    if (!joints) Fail("a weights tag with \"weights\" needs \"joints\" as well");
    if (!weights) Fail("a weights tag with \"joints\" needs \"weights\" as well");
    {
      At a(*this, "joints");
      CheckArray(*joints, "an array of joint names");
    }
    // Weights are kept until the joints are known; the tag then takes them joint by joint.
    auto values = std::make_shared<std::vector<std::vector<Float>>>();
    {
      At a(*this, "weights");
      if (!weights->is_array() || weights->size() != joints->size())
        Expected("an array of " + std::to_string(joints->size()) +
                     " weight arrays (one per joint in \"joints\")",
                 *weights);
      for (size_t j = 0; j < weights->size(); ++j) {
        At b(*this, Index(j));
        const Json& w = (*weights)[j];
        if (!w.is_array() || w.size() != static_cast<size_t>(pointCount))
          Expected("an array of " + std::to_string(pointCount) + " weights (one per point)", w);
        std::vector<Float> col(static_cast<size_t>(pointCount));
        for (size_t i = 0; i < col.size(); ++i) {
          At c(*this, Index(i));
          col[i] = Number(w[i]);
        }
        values->push_back(std::move(col));
      }
    }
    wt->ReservePoints(pointCount);
    At a(*this, "joints");
    for (size_t k = 0; k < joints->size(); ++k) {
      At b(*this, Index(k));
      Defer((*joints)[k], LinkKind::Object,
            [this, wt, values, k, where = Path()](BaseList2D* node) {
              auto* joint = static_cast<BaseObject*>(node);
              if (wt->FindJoint(joint) != NOTOK)
                FailAt(where,
                       "the joint " + Json(joint->GetName().GetUtf8()).dump() + " is listed twice");
              const Int32 index = wt->AddJoint(joint);
              const auto& col = (*values)[k];
              for (size_t i = 0; i < col.size(); ++i)
                wt->SetWeight(index, static_cast<Int32>(i), col[i]);
            });
    }
  }

  // ----- parameters -----

  /// Parameter types of a registered plug-in, from its description (null for other types).
  const ParamTypes* TypesOf(Int32 type) {
    auto it = paramTypes_.find(type);
    if (it == paramTypes_.end()) {
      ParamTypes types;
      Description d;
      if (d.LoadDescription(type)) {
        for (const auto& e : d.Entries()) types[e.id.id] = e.type;
      }
      it = paramTypes_.emplace(type, std::move(types)).first;
    }
    return it->second.empty() ? nullptr : &it->second;
  }

  static bool ParseParamId(const std::string& key, Int32* id) {
    if (key.empty() || key.size() > 11) return false;
    size_t i = key[0] == '-' ? 1 : 0;
    if (i == key.size() || (key[i] == '0' && key.size() > i + 1)) return false;
    Int64 v = 0;
    for (; i < key.size(); ++i) {
      if (key[i] < '0' || key[i] > '9') return false;
      v = v * 10 + (key[i] - '0');
    }
    if (key[0] == '-') v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    *id = static_cast<Int32>(v);
    return true;
  }

  /// "params": {"1000": value, ...}. `named` are ids that named keys of the element have set
  /// already; `idPath` locates `bc` inside an outer container (for links set later).
  void LoadParams(const Json& p, BaseContainer* bc, const ParamTypes* types,
                  const std::vector<Int32>& named, std::vector<Int32> idPath,
                  BaseContainer* root = nullptr) {
    if (!root) root = bc;
    if (static_cast<int>(idPath.size()) > kMaxDepth / 10) Fail("containers are nested too deep");
    CheckObject(p, "an object of parameters such as {\"1000\": true}");
    for (const auto& [key, value] : p.items()) {
      At a(*this, key);
      Int32 id = 0;
      if (!ParseParamId(key, &id)) Fail("a parameter id must be a whole number such as \"1000\"");
      if (std::find(named.begin(), named.end(), id) != named.end())
        Fail("parameter " + key + " is already given by its own key");
      const Int32 dtype = types ? (types->count(id) ? types->at(id) : 0) : 0;
      std::vector<Int32> here = idPath;
      here.push_back(id);
      bc->SetData(id, ParamValue(value, dtype, here, root));
    }
  }

  GeData ParamValue(const Json& v, Int32 dtype, const std::vector<Int32>& idPath,
                    BaseContainer* root) {
    switch (dtype) {
      case DTYPE_BOOL:
        if (v.is_boolean()) return GeData(v.get<bool>());
        if (v.is_number_integer()) return GeData(Bool(Int(v, 0, 1, "true or false") != 0));
        Expected("true or false", v);
      case DTYPE_LONG:
        if (v.is_boolean()) return GeData(Int32(v.get<bool>() ? 1 : 0));
        return GeData(Int(v, INT32_MIN, INT32_MAX, "a whole number"));
      case DTYPE_REAL:
        return GeData(Number(v));
      case DTYPE_VECTOR:
      case DTYPE_COLOR:
        return GeData(Vec(v));
      case DTYPE_STRING:
        return GeData(String(Text(v)));
      case DTYPE_FILENAME:
        if (v.is_string()) return GeData(Filename(String(v.get_ref<const std::string&>())));
        if (!(v.is_object() && v.contains("file"))) Expected("a file name", v);
        break;
      case DTYPE_BASELISTLINK:
        if (!(v.is_null() || (v.is_object() && v.contains("link"))))
          Expected("a link {\"link\": \"object name\"} or null", v);
        if (v.is_null()) return GeData(static_cast<const BaseList2D*>(nullptr));
        break;
      case CUSTOMDATATYPE_UNITSCALE:
        if (v.is_array() || v.is_string()) return GeData(Unit(v));
        if (!(v.is_object() && v.contains("unit"))) Expected("a length such as [8, \"cm\"]", v);
        break;
      default:
        break;
    }
    switch (v.type()) {
      case Json::value_t::null:
        return GeData();
      case Json::value_t::boolean:
        return GeData(v.get<bool>());
      case Json::value_t::number_integer:
      case Json::value_t::number_unsigned: {
        const Int64 n = Integer(v, INT64_MIN, INT64_MAX, "a whole number of 64 bits");
        if (n >= INT32_MIN && n <= INT32_MAX) return GeData(static_cast<Int32>(n));
        return GeData(n);
      }
      case Json::value_t::number_float:
        return GeData(Number(v));
      case Json::value_t::string:
        return GeData(String(v.get_ref<const std::string&>()));
      case Json::value_t::array:
        return GeData(Vec(v));
      case Json::value_t::object:
        return SpecialValue(v, idPath, root);
      default:
        Expected("a parameter value", v);
    }
  }

  GeData SpecialValue(const Json& v, const std::vector<Int32>& idPath, BaseContainer* root) {
    const char* kForms =
        "{\"link\": ...}, {\"file\": ...}, {\"unit\": [8, \"cm\"]}, {\"matrix\": [...]} or "
        "{\"container\": {...}}";
    if (v.size() == 1 && v.contains("link")) {
      At a(*this, "link");
      const Json& ref = v["link"];
      if (ref.is_null()) return GeData(static_cast<const BaseList2D*>(nullptr));
      Defer(ref, LinkKind::Any,
            [this, idPath, root](BaseList2D* node) { SetNested(root, idPath, 0, node); });
      return GeData(static_cast<const BaseList2D*>(nullptr));
    }
    if (v.size() == 1 && v.contains("file")) {
      At a(*this, "file");
      return GeData(Filename(String(Text(v["file"]))));
    }
    if (v.size() == 1 && v.contains("unit")) {
      At a(*this, "unit");
      return GeData(Unit(v["unit"]));
    }
    if (v.size() == 1 && v.contains("matrix")) {
      At a(*this, "matrix");
      const Json& m = v["matrix"];
      if (!m.is_array() || m.size() != 4) Expected("[offset, v1, v2, v3] (four [x, y, z])", m);
      Vector r[4];
      for (size_t i = 0; i < 4; ++i) {
        At b(*this, Index(i));
        r[i] = Vec(m[i]);
      }
      return GeData(Matrix(r[0], r[1], r[2], r[3]));
    }
    if (v.contains("container") &&
        (v.size() == 1 || (v.size() == 2 && v.contains("containerId")))) {
      BaseContainer bc;
      if (v.contains("containerId")) {
        At a(*this, "containerId");
        bc.SetId(Int(v["containerId"], INT32_MIN, INT32_MAX, "a container id"));
      }
      At a(*this, "container");
      LoadParams(v["container"], &bc, nullptr, {}, idPath, root);
      return GeData(bc);
    }
    Fail(
        std::string("expected a parameter value: true/false, a number, a text, [x, y, z], null, ") +
        kForms);
  }

  /// Sets a link inside (possibly nested) containers once its target is known.
  static void SetNested(BaseContainer* bc, const std::vector<Int32>& idPath, size_t i,
                        BaseList2D* node) {
    if (i + 1 == idPath.size()) {
      bc->SetLink(idPath[i], node);
      return;
    }
    BaseContainer inner = bc->GetContainer(idPath[i]);
    SetNested(&inner, idPath, i + 1, node);
    bc->SetContainer(idPath[i], inner);
  }

  // ----- links -----

  void RegisterId(const std::string& id, BaseList2D* node) {
    if (id.empty()) Fail("an id must not be empty");
    if (!ids_.emplace(id, node).second) Fail("the id " + Json(id).dump() + " is used twice");
    RememberId(node, id);
  }

  void ResolveLinks() {
    std::multimap<std::string, BaseObject*> objects;
    for (BaseObject* op : mainTree_) objects.emplace(op->GetName().GetUtf8(), op);
    std::multimap<std::string, BaseMaterial*> materials;
    for (BaseMaterial* m = doc_->GetFirstMaterial(); m; m = m->GetNext())
      materials.emplace(m->GetName().GetUtf8(), m);

    for (const PendingLink& l : links_) {
      BaseList2D* target = nullptr;
      if (l.ref.is_object() && l.ref.contains("id")) {
        const std::string& id = l.ref["id"].get_ref<const std::string&>();
        auto it = ids_.find(id);
        if (it == ids_.end())
          FailAt(l.where, "no object or material has the id " + Json(id).dump());
        target = it->second;
        if (l.kind == LinkKind::Object && !target->IsInstanceOf(Obase))
          FailAt(l.where, "the id " + Json(id).dump() + " belongs to a material, not an object");
        if (l.kind == LinkKind::Material && !target->IsInstanceOf(Mbase))
          FailAt(l.where, "the id " + Json(id).dump() + " belongs to an object, not a material");
      } else if (l.kind == LinkKind::Material || l.ref.is_object()) {
        const std::string& name = l.ref.is_string()
                                      ? l.ref.get_ref<const std::string&>()
                                      : l.ref["material"].get_ref<const std::string&>();
        target = Unique(materials, name, "material", l.where);
      } else {
        target = Unique(objects, name_of(l.ref), "object", l.where);
      }
      l.apply(target);
    }
  }

  static const std::string& name_of(const Json& ref) { return ref.get_ref<const std::string&>(); }

  template <typename T>
  T* Unique(const std::multimap<std::string, T*>& map, const std::string& name, const char* what,
            const std::string& where) const {
    const auto n = map.count(name);
    if (n == 0) FailAt(where, std::string("no ") + what + " is named " + Json(name).dump());
    if (n > 1)
      FailAt(where, std::to_string(n) + " " + what + "s are named " + Json(name).dump() +
                        "; give the one you mean an \"id\" and link to {\"id\": \"...\"}");
    return map.find(name)->second;
  }

  std::string file_;
  std::string baseDir_;
  std::vector<std::string> path_;
  std::unique_ptr<BaseDocument> doc_;
  std::vector<BaseObject*> mainTree_;
  std::map<std::string, BaseList2D*> ids_;
  std::vector<PendingLink> links_;
  std::map<Int32, ParamTypes> paramTypes_;
};

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
