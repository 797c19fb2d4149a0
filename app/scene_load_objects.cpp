// Scene files: the document's settings, its materials and its object tree with geometry.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "message_text.h"
#include "scene_loader.h"

namespace pmxapp::sceneload {

using namespace scene;

void Loader::LoadRoot(const Json& root) {
  CheckObject(root, "a scene object { \"scene\": 1, \"objects\": [...] }");
  CheckKeys(root, {"scene", "document", "materials", "layers", "objects", "views", "sceneHooks"});
  if (const std::optional<Json> v = Member(root, "scene")) {
    At a(*this, "scene");
    if (!v->is_number_integer() || v->get<Int64>() != kSceneVersion)
      Expected("the scene format version " + std::to_string(kSceneVersion), *v);
  }
  if (const std::optional<Json> v = Member(root, "document")) {
    At a(*this, "document");
    LoadDocumentSettings(*v);
  } else if (!baseDir_.empty()) {
    doc_->SetDocumentPath(Filename(String(baseDir_)));
  }
  if (const std::optional<Json> v = Member(root, "materials")) {
    At a(*this, "materials");
    CheckArray(*v, "an array of materials");
    for (size_t i = 0; i < v->size(); ++i) {
      At b(*this, Index(i));
      LoadMaterial((*v)[i]);
    }
  }
  if (const std::optional<Json> v = Member(root, "layers")) {
    At a(*this, "layers");
    LoadLayers(*v);
  }
  if (const std::optional<Json> v = Member(root, "objects")) {
    At a(*this, "objects");
    CheckArray(*v, "an array of objects");
    for (size_t i = 0; i < v->size(); ++i) {
      At b(*this, Index(i));
      BaseObject* op = LoadObject((*v)[i], 1, false);
      doc_->InsertObjectLast(op);
    }
  }
  if (const std::optional<Json> v = Member(root, "views")) {
    At a(*this, "views");
    LoadViews(*v);
  }
  if (const std::optional<Json> v = Member(root, "sceneHooks")) {
    At a(*this, "sceneHooks");
    LoadSceneHooks(*v);
  }
  ResolveLinks();
}

void Loader::LoadDocumentSettings(const Json& d) {
  CheckObject(d, "an object with the document settings");
  CheckKeys(d, {"unit", "mode", "path", "params"});
  BaseContainer* bc = doc_->GetDataInstance();
  std::vector<Int32> named;
  if (const std::optional<Json> v = Member(d, "unit")) {
    At a(*this, "unit");
    bc->SetData(DOCUMENT_DOCUNIT, GeData(Unit(*v)));
    named.push_back(DOCUMENT_DOCUNIT);
  }
  if (const std::optional<Json> v = Member(d, "mode")) {
    At a(*this, "mode");
    doc_->SetMode(Named(*v, DocumentModeNames(), "editing mode"));
    named.push_back(DOCUMENT_MODE);
  }
  std::string path = baseDir_;
  if (const std::optional<Json> v = Member(d, "path")) {
    At a(*this, "path");
    std::filesystem::path p = std::filesystem::path(Text(*v));
    if (p.is_relative() && !baseDir_.empty()) p = std::filesystem::path(baseDir_) / p;
    path = NormalDocumentPath(p).generic_string();
  }
  doc_->SetDocumentPath(Filename(String(path)));
  if (const std::optional<Json> v = Member(d, "params")) {
    At a(*this, "params");
    LoadParams(*v, bc, nullptr, named, {});
  }
}

void Loader::LoadMaterial(const Json& m) {
  CheckObject(m, "a material object");
  std::vector<std::string_view> keys = {"name", "id", "type", "params"};
  for (const auto& c : ChannelNames()) keys.push_back(c.name);
  for (const auto& [key, value] : m.items()) {
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
      std::string list;
      for (auto k : keys) list += (list.empty() ? "\"" : ", \"") + std::string(k) + "\"";
      Fail("unknown key " + QuoteForMessage(key) + " (expected one of " + list + ")");
    }
  }
  Int32 type = Mmaterial;
  if (const std::optional<Json> v = Member(m, "type")) {
    At a(*this, "type");
    if (v->is_string() && v->str() == "material") {
      type = Mmaterial;
    } else {
      type = Int(*v, 1, INT32_MAX, "\"material\" or a material type number");
    }
  }
  std::unique_ptr<BaseMaterial> mat(BaseMaterial::Alloc(type));
  if (!mat) Fail("the host could not create a material of type " + std::to_string(type));
  if (const std::optional<Json> v = Member(m, "name")) {
    At a(*this, "name");
    mat->SetName(String(Text(*v)));
  }
  if (const std::optional<Json> v = Member(m, "id")) {
    At a(*this, "id");
    RegisterId(Text(*v), mat.get());
  }
  for (const auto& c : ChannelNames()) {
    const std::optional<Json> v = Member(m, c.name);
    if (!v) continue;
    At a(*this, c.name);
    LoadChannel(*v, mat.get(), c.value);
  }
  if (const std::optional<Json> v = Member(m, "params")) {
    At a(*this, "params");
    LoadParams(*v, mat->GetDataInstance(), nullptr, {}, {});
  }
  doc_->InsertMaterial(mat.release());
}

void Loader::LoadChannel(const Json& c, BaseMaterial* mat, Int32 channel) {
  CheckObject(c, "a channel object such as {\"on\": true, \"color\": [1, 1, 1]}");
  CheckKeys(c, {"on", "color", "brightness", "texture", "params"});
  bool on = true;
  if (const std::optional<Json> v = Member(c, "on")) {
    At a(*this, "on");
    on = Boolean(*v);
  }
  mat->SetChannelState(channel, on);
  BaseContainer* bc = mat->GetChannel(channel)->GetDataInstance();
  std::vector<Int32> named;
  if (const std::optional<Json> v = Member(c, "color")) {
    At a(*this, "color");
    bc->SetVector(BASECHANNEL_COLOR_EX, Vec(*v));
    named.push_back(BASECHANNEL_COLOR_EX);
  }
  if (const std::optional<Json> v = Member(c, "brightness")) {
    At a(*this, "brightness");
    bc->SetFloat(BASECHANNEL_BRIGHTNESS_EX, Number(*v));
    named.push_back(BASECHANNEL_BRIGHTNESS_EX);
  }
  if (const std::optional<Json> v = Member(c, "texture")) {
    At a(*this, "texture");
    bc->SetString(BASECHANNEL_TEXTURE, String(Text(*v)));
    named.push_back(BASECHANNEL_TEXTURE);
  }
  if (const std::optional<Json> v = Member(c, "params")) {
    At a(*this, "params");
    LoadParams(*v, bc, nullptr, named, {});
  }
}

BaseObject* Loader::LoadObject(const Json& o, int depth, bool inCache) {
  if (depth > kMaxDepth)
    Fail("objects are nested more than " + std::to_string(kMaxDepth) + " levels deep");
  CheckObject(o, "an object such as {\"type\": \"null\", \"name\": \"...\"}");
  CheckKeys(o, {"type",          "name",   "id",       "selected",       "pos",
                "rot",           "scale",  "order",    "render",         "editor",
                "bits",          "points", "polygons", "pointSelection", "polygonSelection",
                "edgeSelection", "tags",   "params",   "cache",          "deformCache",
                "children",      "xray",   "layer",    "hiddenPolygons", "ngons"});
  const std::optional<Json> typeJson = Member(o, "type");
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

  if (const std::optional<Json> v = Member(o, "name")) {
    At a(*this, "name");
    op->SetName(String(Text(*v)));
  }
  if (const std::optional<Json> v = Member(o, "id")) {
    At a(*this, "id");
    RegisterId(Text(*v), op.get());
  }
  if (const std::optional<Json> v = Member(o, "pos")) {
    At a(*this, "pos");
    op->SetRelPos(Vec(*v));
  }
  if (const std::optional<Json> v = Member(o, "rot")) {
    At a(*this, "rot");
    if (!v->is_array() || v->size() != 3) Expected("[x, y, z] in degrees", *v);
    Float r[3];
    for (size_t i = 0; i < 3; ++i) {
      At b(*this, Index(i));
      r[i] = Rad(Angle((*v)[i]));
    }
    op->SetRelRot(Vector(r[0], r[1], r[2]));
  }
  if (const std::optional<Json> v = Member(o, "scale")) {
    At a(*this, "scale");
    op->SetRelScale(Vec(*v));
  }
  if (const std::optional<Json> v = Member(o, "order")) {
    At a(*this, "order");
    if (!v->is_string()) Expected("a rotation order (" + JoinNames(RotationOrderNames()) + ")", *v);
    op->SetRotationOrder(
        static_cast<ROTATIONORDER>(Named(*v, RotationOrderNames(), "rotation order")));
  }
  if (const std::optional<Json> v = Member(o, "render")) {
    At a(*this, "render");
    op->SetRenderMode(Visibility(*v));
  }
  if (const std::optional<Json> v = Member(o, "editor")) {
    At a(*this, "editor");
    op->SetEditorMode(Visibility(*v));
  }
  if (const std::optional<Json> v = Member(o, "bits")) {
    At a(*this, "bits");
    op->SetAllBits(op->GetAllBits() | Bits(*v));
  }
  if (const std::optional<Json> v = Member(o, "selected")) {
    At a(*this, "selected");
    if (Boolean(*v)) op->SetBit(BIT_ACTIVE);
  }

  const char* geometryKeys[] = {
      "points",        "polygons",       "pointSelection", "polygonSelection",
      "edgeSelection", "hiddenPolygons", "ngons"};
  if (!poly) {
    for (const char* k : geometryKeys) {
      if (Member(o, k))
        Fail("\"" + std::string(k) + "\" needs a polygon object (this object's type is " +
             typeJson->dump() + ")");
    }
  } else {
    LoadGeometry(o, poly);
  }
  LoadDisplayKeys(o, op.get(), poly);

  if (const std::optional<Json> v = Member(o, "tags")) {
    At a(*this, "tags");
    CheckArray(*v, "an array of tags");
    for (size_t i = 0; i < v->size(); ++i) {
      At b(*this, Index(i));
      LoadTag((*v)[i], op.get());
    }
  }
  if (const std::optional<Json> v = Member(o, "params")) {
    At a(*this, "params");
    LoadParams(*v, op->GetDataInstance(), TypesOf(type), {}, {});
  }
  if (const std::optional<Json> v = Member(o, "cache")) {
    At a(*this, "cache");
    op->SetCache(LoadChain(*v, depth));
  }
  if (const std::optional<Json> v = Member(o, "deformCache")) {
    At a(*this, "deformCache");
    op->SetDeformCache(LoadChain(*v, depth));
  }
  if (!inCache) mainTree_.push_back(op.get());
  if (const std::optional<Json> v = Member(o, "children")) {
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

BaseObject* Loader::LoadChain(const Json& v, int depth) {
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

Int32 Loader::Visibility(const Json& v) const {
  if (!v.is_string()) Expected("\"on\", \"off\" or \"default\"", v);
  return Named(v, VisibilityNames(), "visibility");
}

Int32 Loader::Bits(const Json& v) {
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

void Loader::LoadGeometry(const Json& o, PolygonObject* poly) {
  const std::optional<Json> pts = Member(o, "points");
  const std::optional<Json> polys = Member(o, "polygons");
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
    // All points at once; a file with anything unusual in them is read point by point.
    std::unique_ptr<double[]> xyz(new double[pcnt * 3]);
    std::unique_ptr<std::uint8_t[]> lengths(new std::uint8_t[pcnt]);
    size_t rows = 0;
    bool fast = pts->ReadNumberRows(xyz.get(), lengths.get(), pcnt, 3, &rows) && rows == pcnt;
    for (size_t i = 0; fast && i < pcnt; ++i) {
      const double* p = xyz.get() + i * 3;
      fast = lengths[i] == 3 && std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
      w[i] = Vector(p[0], p[1], p[2]);
    }
    for (size_t i = 0; !fast && i < pcnt; ++i) {
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
    std::unique_ptr<Int64[]> indices(new Int64[vcnt * 4]);
    std::unique_ptr<std::uint8_t[]> lengths(new std::uint8_t[vcnt]);
    size_t rows = 0;
    bool fast =
        polys->ReadIntegerRows(indices.get(), lengths.get(), vcnt, 4, &rows) && rows == vcnt;
    for (size_t i = 0; fast && i < vcnt; ++i) {
      const Int64* p = indices.get() + i * 4;
      const size_t n = lengths[i];
      fast = n >= 3 && std::all_of(p, p + n, [&](Int64 k) { return k >= 0 && k <= maxIndex; });
      const auto at = [&](size_t k) { return static_cast<Int32>(p[k]); };
      w[i] = n == 3 ? CPolygon(at(0), at(1), at(2)) : CPolygon(at(0), at(1), at(2), at(3));
    }
    for (size_t i = 0; !fast && i < vcnt; ++i) {
      At b(*this, Index(i));
      const Json& p = (*polys)[i];
      Int64 one[4];
      size_t n = 0;
      if (p.ReadIntegers(one, 4, &n) && n >= 3 &&
          std::all_of(one, one + n, [&](Int64 k) { return k >= 0 && k <= maxIndex; })) {
        const auto at = [&](size_t k) { return static_cast<Int32>(one[k]); };
        w[i] = n == 3 ? CPolygon(at(0), at(1), at(2)) : CPolygon(at(0), at(1), at(2), at(3));
        continue;
      }
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
  if (const std::optional<Json> v = Member(o, "pointSelection")) {
    At a(*this, "pointSelection");
    Selection(*v, poly->GetPointS(), points, "point");
  }
  if (const std::optional<Json> v = Member(o, "polygonSelection")) {
    At a(*this, "polygonSelection");
    Selection(*v, poly->GetPolygonS(), polygons, "polygon");
  }
  if (const std::optional<Json> v = Member(o, "edgeSelection")) {
    At a(*this, "edgeSelection");
    Selection(*v, poly->GetEdgeS(), EdgeCount(polygons), "edge");
  }
}

void Loader::Selection(const Json& v, BaseSelect* sel, Int32 count, const char* element) {
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

}  // namespace pmxapp::sceneload
