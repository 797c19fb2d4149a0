// Writing scene files: every field the reader takes, with numbers that read back to exactly the
// values the document holds. scene_text.cpp lays the JSON out for people.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "c4d_host.h"
#include "scene_file.h"
#include "scene_format.h"
#include "scene_text.h"

namespace pmxapp {

namespace {

using OJson = nlohmann::ordered_json;
using namespace scene;

// ----- the document -----

class Writer {
 public:
  Writer(BaseDocument* doc, std::optional<std::string> targetDir)
      : doc_(doc), targetDir_(std::move(targetDir)) {}

  OJson Build() {
    Survey();
    OJson root = BuildOnce();
    // A link to an object that can only be named by an id gives that object an "id"; when the
    // object came earlier in the file than the link, write the file once more.
    if (needsIdLate_) {
      needsIdLate_ = false;
      written_.clear();
      error_.clear();
      root = BuildOnce();
    }
    return root;
  }

  const std::string& Error() const { return error_; }
  const NumberSources& Arrays() const { return arrays_; }

 private:
  // ----- survey: names, ids -----

  void Survey() {
    for (BaseObject* op = doc_->GetFirstObject(); op; op = op->GetNext()) SurveyObject(op, false);
    for (BaseMaterial* m = doc_->GetFirstMaterial(); m; m = m->GetNext()) {
      ++materialNames_[m->GetName().GetUtf8()];
      KeepRememberedId(m);
    }
  }

  /// The cache a scene file holds: only the fixed ones that stand for generators the host
  /// does not evaluate; plug-in generators build theirs again when the file is loaded.
  static BaseObject* WrittenCache(const BaseObject* op) {
    return host::IsEvaluatedGenerator(op) ? nullptr : op->GetCache();
  }

  void SurveyObject(BaseObject* op, bool inCache) {
    for (; op; op = op->GetNext()) {
      if (!inCache) {
        ++objectNames_[op->GetName().GetUtf8()];
        mainTree_.insert(op);
      }
      inDocument_.insert(op);
      KeepRememberedId(op);
      SurveyObject(WrittenCache(op), true);
      SurveyObject(op->GetDeformCache(), true);
      SurveyObject(op->GetDown(), inCache);
    }
  }

  void KeepRememberedId(BaseList2D* node) {
    std::string id = RememberedId(node);
    if (!id.empty() && usedIds_.insert(id).second) ids_[node] = id;
  }

  std::string IdFor(BaseList2D* node) {
    auto it = ids_.find(node);
    if (it != ids_.end()) return it->second;
    std::string base = node->GetName().GetUtf8();
    if (base.empty()) base = "element";
    std::string id;
    for (int k = 1;; ++k) {
      id = base + "#" + std::to_string(k);
      if (usedIds_.insert(id).second) break;
    }
    ids_[node] = id;
    if (written_.count(node)) needsIdLate_ = true;
    return id;
  }

  /// How a link to `node` is written: a unique name, or {"id": ...}; null for a link that has
  /// nothing in this document to point at.
  OJson Ref(BaseList2D* node, bool materialForm) {
    if (!node) return nullptr;
    if (node->IsInstanceOf(Obase)) {
      auto* op = static_cast<BaseObject*>(node);
      if (!inDocument_.count(op)) return nullptr;
      const std::string name = op->GetName().GetUtf8();
      if (mainTree_.count(op) && objectNames_[name] == 1) return name;
      return OJson{{"id", IdFor(node)}};
    }
    if (node->IsInstanceOf(Mbase) && node->GetDocument() == doc_) {
      const std::string name = node->GetName().GetUtf8();
      if (materialNames_[name] == 1) {
        if (materialForm) return name;
        return OJson{{"material", name}};
      }
      return OJson{{"id", IdFor(node)}};
    }
    return nullptr;
  }

  // ----- numbers -----

  void NonFinite() {
    if (error_.empty()) error_ = where_ + ": a value is not a finite number (NaN or infinity)";
  }

  /// A coordinate: whole numbers without ".0", everything else exact.
  OJson Num(double v) {
    if (!std::isfinite(v)) {
      NonFinite();
      return nullptr;
    }
    if (v == std::trunc(v) && std::abs(v) < 9.0e15 && !(v == 0 && std::signbit(v)))
      return static_cast<Int64>(v);
    return v;
  }
  OJson Vec(const Vector& v) { return OJson::array({Num(v.x), Num(v.y), Num(v.z)}); }
  // The large arrays are formatted only as the text is laid out (NumberSource); a value that
  // is not finite is looked for here, so that the file is refused before it is begun.
  void CheckFinite(bool finite) {
    if (!finite) NonFinite();
  }
  static bool Finite(const Vector32& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
  }
  static void ArrayVec32(NumberArrays& out, const Vector32& v, bool dropZeroW) {
    out.Open();
    out.Number32(v.x);
    out.Number32(v.y);
    if (!(dropZeroW && v.z == 0)) out.Number32(v.z);
    out.Close();
  }
  OJson Unit(const UnitScaleData& u) {
    std::string_view name = UnitName(u.GetUnit());
    return OJson::array({Num(u.GetScale()), std::string(name.empty() ? "cm" : name)});
  }

  // ----- parts -----

  OJson BuildOnce() {
    arrays_.Clear();
    OJson root = OJson::object();
    root["scene"] = kSceneVersion;
    where_ = "document";
    root["document"] = Document();
    OJson materials = OJson::array();
    size_t i = 0;
    for (BaseMaterial* m = doc_->GetFirstMaterial(); m; m = m->GetNext(), ++i) {
      where_ = "materials[" + std::to_string(i) + "]";
      materials.push_back(Material(m));
    }
    if (!materials.empty()) root["materials"] = std::move(materials);
    OJson layers = Layers();
    if (!layers.empty()) root["layers"] = std::move(layers);
    OJson objects = Chain(doc_->GetFirstObject(), "objects");
    if (!objects.empty()) root["objects"] = std::move(objects);
    where_ = "views";
    if (OJson views = Views(); !views.is_null()) root["views"] = std::move(views);
    where_ = "sceneHooks";
    OJson hooks = SceneHooks();
    if (!hooks.empty()) root["sceneHooks"] = std::move(hooks);
    return root;
  }

  OJson Layers() {
    OJson a = OJson::array();
    const LayerData fresh;
    for (LayerObject* l = doc_->GetFirstLayer(); l; l = l->GetNext()) {
      OJson j = OJson::object();
      j["name"] = l->GetName().GetUtf8();
      const LayerData& d = l->GetLayerData();
      if (d.view != fresh.view) j["view"] = d.view;
      if (d.render != fresh.render) j["render"] = d.render;
      if (d.locked != fresh.locked) j["locked"] = d.locked;
      if (!d.color.IsZero()) j["color"] = Vec(d.color);
      a.push_back(std::move(j));
    }
    return a;
  }

  /// The views, or null while the document has the one view a new document has.
  OJson Views() {
    const BaseDocument fresh;
    const BaseDraw* freshView = fresh.GetBaseDraw(0);
    const Matrix freshCamera = freshView->GetEditorCamera()->GetMl();
    OJson a = OJson::array();
    bool changed = doc_->GetBaseDrawCount() != 1;
    for (Int32 i = 0; i < doc_->GetBaseDrawCount(); ++i) {
      BaseDraw* bd = doc_->GetBaseDraw(i);
      OJson j = OJson::object();
      j["name"] = bd->GetName().GetUtf8();
      std::string_view mode = FindName(DisplayModeNames(), bd->GetDisplayMode());
      j["display"] = mode.empty() ? OJson(bd->GetDisplayMode()) : OJson(std::string(mode));
      const BaseObject* camera = bd->GetEditorCamera();
      const Vector rot = camera->GetRelRot();
      j["camera"] = OJson{{"pos", Vec(camera->GetRelPos())},
                          {"rot", OJson::array({Num(DegreesFor(rot.x)), Num(DegreesFor(rot.y)),
                                                Num(DegreesFor(rot.z))})}};
      if (BaseObject* scene = bd->GetSceneCamera(doc_)) j["sceneCamera"] = Ref(scene, false);
      if (doc_->GetBaseDrawCount() > 1 && bd == doc_->GetActiveBaseDraw()) j["active"] = true;
      changed = changed || bd->GetName() != freshView->GetName() ||
                bd->GetDisplayMode() != freshView->GetDisplayMode() ||
                camera->GetMl() != freshCamera || j.contains("sceneCamera");
      a.push_back(std::move(j));
    }
    return changed ? a : OJson();
  }

  /// Scene hook settings that differ from a new document's.
  OJson SceneHooks() {
    OJson a = OJson::array();
    const BaseDocument fresh;
    for (const host::PluginInfo& p : host::Plugins()) {
      if (p.type != PLUGINTYPE::SCENEHOOK) continue;
      BaseSceneHook* hook = doc_->FindSceneHook(p.id);
      BaseSceneHook* freshHook = fresh.FindSceneHook(p.id);
      if (!hook) continue;
      OJson params = Params(*hook->GetDataInstance(), nullptr, {},
                            freshHook ? freshHook->GetDataInstance() : nullptr);
      if (params.empty()) continue;
      a.push_back(OJson{{"type", p.id}, {"params", std::move(params)}});
    }
    return a;
  }

  OJson Document() {
    OJson d = OJson::object();
    const BaseContainer* bc = doc_->GetDataInstance();
    std::vector<Int32> named;
    if (auto* u = static_cast<const UnitScaleData*>(
            bc->GetCustomDataType(DOCUMENT_DOCUNIT, CUSTOMDATATYPE_UNITSCALE))) {
      d["unit"] = Unit(*u);
      named.push_back(DOCUMENT_DOCUNIT);
    }
    if (const GeData* m = bc->GetDataPointer(DOCUMENT_MODE); m && m->GetType() == DA_LONG) {
      std::string_view name = FindName(DocumentModeNames(), m->GetInt32());
      d["mode"] = name.empty() ? OJson(m->GetInt32()) : OJson(std::string(name));
      named.push_back(DOCUMENT_MODE);
    }
    if (auto p = DocumentPath()) d["path"] = *p;
    OJson params = Params(*bc, nullptr, named, nullptr);
    if (!params.empty()) d["params"] = std::move(params);
    return d;
  }

  std::optional<std::string> DocumentPath() {
    namespace fs = std::filesystem;
    const std::string path = doc_->GetDocumentPath().GetString().GetUtf8();
    if (path.empty()) return std::nullopt;
    if (!targetDir_ || fs::path(path).is_relative()) return path;
    const fs::path rel =
        NormalDocumentPath(fs::path(path)).lexically_relative(NormalDocumentPath(*targetDir_));
    if (rel == ".") return std::nullopt;
    if (rel.empty()) return path;
    return rel.generic_string();
  }

  OJson Material(BaseMaterial* m) {
    OJson j = OJson::object();
    j["name"] = m->GetName().GetUtf8();
    if (auto it = ids_.find(m); it != ids_.end()) j["id"] = it->second;
    if (m->GetType() != Mmaterial) j["type"] = m->GetType();
    std::set<Int32> channels;
    for (const auto& [id, state] : m->ChannelStates()) channels.insert(id);
    for (const auto& [id, channel] : m->Channels()) channels.insert(id);
    for (const auto& c : ChannelNames()) {
      if (!channels.count(c.value)) continue;
      j[std::string(c.name)] = Channel(m, c.value);
    }
    OJson params = Params(*m->GetDataInstance(), nullptr, {}, nullptr);
    if (!params.empty()) j["params"] = std::move(params);
    written_.insert(m);
    return j;
  }

  OJson Channel(BaseMaterial* m, Int32 id) {
    OJson c = OJson::object();
    c["on"] = m->GetChannelState(id);
    const BaseContainer bc = m->GetChannel(id)->GetData();
    std::vector<Int32> named;
    const GeData* color = bc.GetDataPointer(BASECHANNEL_COLOR_EX);
    if (color && color->GetType() == DA_VECTOR) {
      c["color"] = Vec(color->GetVector());
      named.push_back(BASECHANNEL_COLOR_EX);
    }
    const GeData* brightness = bc.GetDataPointer(BASECHANNEL_BRIGHTNESS_EX);
    if (brightness && brightness->GetType() == DA_REAL) {
      c["brightness"] = Num(brightness->GetFloat());
      named.push_back(BASECHANNEL_BRIGHTNESS_EX);
    }
    const GeData* texture = bc.GetDataPointer(BASECHANNEL_TEXTURE);
    if (texture && texture->GetType() == DA_STRING) {
      c["texture"] = texture->GetString().GetUtf8();
      named.push_back(BASECHANNEL_TEXTURE);
    }
    OJson params = Params(bc, nullptr, named, nullptr);
    if (!params.empty()) c["params"] = std::move(params);
    return c;
  }

  OJson Chain(BaseObject* first, const std::string& where) {
    OJson a = OJson::array();
    size_t i = 0;
    for (BaseObject* op = first; op; op = op->GetNext(), ++i)
      a.push_back(Object(op, where + "[" + std::to_string(i) + "]"));
    return a;
  }

  OJson Object(BaseObject* op, const std::string& where) {
    where_ = where;
    OJson j = OJson::object();
    const Int32 type = op->GetType();
    std::string_view typeName = FindName(ObjectTypeNames(), type);
    j["type"] = typeName.empty() ? OJson(type) : OJson(std::string(typeName));
    if (op->GetName().Content()) j["name"] = op->GetName().GetUtf8();
    if (auto it = ids_.find(op); it != ids_.end()) j["id"] = it->second;
    if (op->GetBit(BIT_ACTIVE)) j["selected"] = true;
    if (!op->GetRelPos().IsZero()) j["pos"] = Vec(op->GetRelPos());
    const Vector rot = op->GetRelRot();
    if (!rot.IsZero())
      j["rot"] =
          OJson::array({Num(DegreesFor(rot.x)), Num(DegreesFor(rot.y)), Num(DegreesFor(rot.z))});
    if (op->GetRelScale() != Vector(1, 1, 1)) j["scale"] = Vec(op->GetRelScale());
    if (op->GetRotationOrder() != ROTATIONORDER_HPB) {
      std::string_view n = FindName(RotationOrderNames(), op->GetRotationOrder());
      j["order"] =
          n.empty() ? OJson(static_cast<Int32>(op->GetRotationOrder())) : OJson(std::string(n));
    }
    if (op->GetRenderMode() != MODE_UNDEF) j["render"] = Visibility(op->GetRenderMode());
    if (op->GetEditorMode() != MODE_UNDEF) j["editor"] = Visibility(op->GetEditorMode());
    // The marks a generator's evaluation leaves on its inputs are made again on loading.
    const Int32 evaluated = op->IsTouched() ? BIT_CONTROLOBJECT : 0;
    if (Int32 bits = op->GetAllBits() & ~BIT_ACTIVE & ~evaluated) j["bits"] = Bits(bits);
    if (op->GetDataInstance()->GetBool(ID_BASEOBJECT_XRAY)) j["xray"] = true;
    if (LayerObject* layer = op->GetLayerObject(doc_)) j["layer"] = layer->GetName().GetUtf8();

    auto* poly = dynamic_cast<PolygonObject*>(op);
    if (poly) Geometry(poly, j);

    OJson tags = OJson::array();
    size_t i = 0;
    for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext()) {
      if (t->GetType() == Tpoint || t->GetType() == Tpolygon) continue;
      where_ = where + ".tags[" + std::to_string(i++) + "]";
      tags.push_back(Tag(t, poly));
    }
    where_ = where;
    if (!tags.empty()) j["tags"] = std::move(tags);
    OJson params =
        Params(*op->GetDataInstance(), TypesOf(type), {ID_BASEOBJECT_XRAY}, Fresh(type, false));
    if (!params.empty()) j["params"] = std::move(params);
    if (BaseObject* cache = WrittenCache(op)) j["cache"] = Chain(cache, where + ".cache");
    if (op->GetDeformCache())
      j["deformCache"] = Chain(op->GetDeformCache(), where + ".deformCache");
    if (op->GetDown()) j["children"] = Chain(op->GetDown(), where + ".children");
    written_.insert(op);
    return j;
  }

  static OJson Visibility(Int32 mode) {
    std::string_view n = FindName(VisibilityNames(), mode);
    return n.empty() ? OJson(mode) : OJson(std::string(n));
  }

  static OJson Bits(Int32 bits) {
    OJson a = OJson::array();
    for (const auto& b : BitNames()) {
      if (bits & b.value) {
        a.push_back(std::string(b.name));
        bits &= ~b.value;
      }
    }
    if (bits) a.push_back(bits);
    return a;
  }

  void Geometry(PolygonObject* poly, OJson& j) {
    const Int32 pcnt = poly->GetPointCount();
    const Int32 vcnt = poly->GetPolygonCount();
    if (pcnt > 0) {
      const Vector* p = poly->GetPointR();
      bool finite = true;
      for (Int32 i = 0; i < pcnt && finite; ++i)
        finite = std::isfinite(p[i].x) && std::isfinite(p[i].y) && std::isfinite(p[i].z);
      CheckFinite(finite);
      j["points"] = arrays_.Add(
          {static_cast<size_t>(pcnt), false, [p](size_t first, size_t last, NumberArrays& out) {
             for (size_t i = first; i < last; ++i) {
               out.Open();
               out.Number(p[i].x);
               out.Number(p[i].y);
               out.Number(p[i].z);
               out.Close();
             }
           }});
    }
    if (vcnt > 0) {
      const CPolygon* p = poly->GetPolygonR();
      j["polygons"] = arrays_.Add(
          {static_cast<size_t>(vcnt), false, [p](size_t first, size_t last, NumberArrays& out) {
             for (size_t i = first; i < last; ++i) {
               const CPolygon& c = p[i];
               out.Open();
               out.Integer(c.a);
               out.Integer(c.b);
               out.Integer(c.c);
               if (c.c != c.d) out.Integer(c.d);
               out.Close();
             }
           }});
    }
    if (poly->GetPointS()->GetCount()) j["pointSelection"] = Selection(*poly->GetPointS());
    if (poly->GetPolygonS()->GetCount()) j["polygonSelection"] = Selection(*poly->GetPolygonS());
    if (poly->GetEdgeS()->GetCount()) j["edgeSelection"] = Selection(*poly->GetEdgeS());
    if (poly->GetPolygonH()->GetCount()) j["hiddenPolygons"] = Selection(*poly->GetPolygonH());
    if (!poly->GetNgonOutlines().empty()) {
      const std::vector<std::vector<Int32>>* outlines = &poly->GetNgonOutlines();
      j["ngons"] = arrays_.Add(
          {outlines->size(), false, [outlines](size_t first, size_t last, NumberArrays& out) {
             for (size_t i = first; i < last; ++i) {
               out.Open();
               for (Int32 k : (*outlines)[i]) out.Integer(k);
               out.Close();
             }
           }});
    }
  }

  /// A selection as its elements: single indices, and runs of three or more as [first, last].
  OJson Selection(const BaseSelect& sel) {
    auto runs = std::make_shared<std::vector<std::pair<Int32, Int32>>>();
    bool allScalar = true;
    Int32 lo = 0, hi = 0;
    for (Int32 seg = 0; sel.GetRange(seg, INT32_MAX, &lo, &hi); ++seg) {
      if (hi - lo >= 2) {
        runs->emplace_back(lo, hi);
        allScalar = false;
      } else {
        for (Int32 k = lo; k <= hi; ++k) runs->emplace_back(k, k);
      }
    }
    return arrays_.Add(
        {runs->size(), allScalar, [runs](size_t first, size_t last, NumberArrays& out) {
           for (size_t i = first; i < last; ++i) {
             const auto [a, b] = (*runs)[i];
             if (a == b) {
               out.Integer(a);
               continue;
             }
             out.Open();
             out.Integer(a);
             out.Integer(b);
             out.Close();
           }
         }});
  }

  OJson Tag(BaseTag* t, PolygonObject* poly) {
    OJson j = OJson::object();
    const Int32 type = t->GetType();
    std::string_view typeName = FindName(TagTypeNames(), type);
    j["type"] = typeName.empty() ? OJson(type) : OJson(std::string(typeName));
    if (t->GetName().Content()) j["name"] = t->GetName().GetUtf8();
    if (t->GetBit(BIT_ACTIVE)) j["active"] = true;
    const BaseContainer* bc = t->GetDataInstance();
    std::vector<Int32> named;
    switch (type) {
      case Tuvw:
      case Tnormal:
        if (auto* vt = dynamic_cast<VariableTag*>(t))
          j[type == Tuvw ? "uvw" : "normals"] = Corners(vt, poly);
        break;
      case Tphong:
        if (const GeData* d = bc->GetDataPointer(PHONGTAG_PHONG_ANGLELIMIT);
            d && d->GetType() == DA_LONG) {
          j["limit"] = d->GetBool();
          named.push_back(PHONGTAG_PHONG_ANGLELIMIT);
        }
        if (const GeData* d = bc->GetDataPointer(PHONGTAG_PHONG_ANGLE);
            d && d->GetType() == DA_REAL) {
          j["angle"] = Num(DegreesFor(d->GetFloat()));
          named.push_back(PHONGTAG_PHONG_ANGLE);
        }
        break;
      case Ttexture:
        if (const GeData* d = bc->GetDataPointer(TEXTURETAG_MATERIAL);
            d && d->GetType() == DA_ALIASLINK) {
          j["material"] = Ref(d->GetLink(), true);
          named.push_back(TEXTURETAG_MATERIAL);
        }
        if (const GeData* d = bc->GetDataPointer(TEXTURETAG_RESTRICTION);
            d && d->GetType() == DA_STRING) {
          j["restriction"] = d->GetString().GetUtf8();
          named.push_back(TEXTURETAG_RESTRICTION);
        }
        break;
      case Tpolygonselection:
      case Tpointselection:
      case Tedgeselection:
        if (auto* st = dynamic_cast<SelectionTag*>(t); st && st->GetBaseSelect()->GetCount())
          j["indices"] = Selection(*st->GetBaseSelect());
        break;
      case Tweights:
        if (auto* wt = dynamic_cast<CAWeightTag*>(t)) Weights(wt, poly, j);
        break;
      case Tvertexmap:
        if (auto* vt = dynamic_cast<VariableTag*>(t)) {
          const Float32* v = vt->Read<Float32>();
          const size_t n = static_cast<size_t>(std::max<Int32>(vt->GetDataCount(), 0));
          CheckFinite(std::all_of(v, v + n, [](Float32 f) { return std::isfinite(f); }));
          j["values"] = arrays_.Add({n, true, [v](size_t first, size_t last, NumberArrays& out) {
                                       for (size_t i = first; i < last; ++i) out.Number32(v[i]);
                                     }});
        }
        break;
      default:
        break;
    }
    OJson params = Params(*bc, TypesOf(type), named, Fresh(type, true));
    if (!params.empty()) j["params"] = std::move(params);
    return j;
  }

  OJson Corners(VariableTag* vt, PolygonObject* poly) {
    const bool uvw = vt->GetType() == Tuvw;
    const Vector32* d = vt->Read<Vector32>();
    const size_t pcnt = poly ? static_cast<size_t>(poly->GetPolygonCount()) : 0;
    const CPolygon* polys = poly ? poly->GetPolygonR() : nullptr;
    // A triangle's fourth corner is left out when it repeats the third.
    auto corners = [d, pcnt, polys](size_t i) {
      const Vector32* c = d + i * 4;
      return i < pcnt && polys[i].c == polys[i].d && c[3] == c[2] ? 3 : 4;
    };
    const size_t n = static_cast<size_t>(std::max<Int32>(vt->GetDataCount(), 0));
    bool finite = true;
    for (size_t i = 0; i < n && finite; ++i) {
      for (int k = 0; k < corners(i); ++k) finite = finite && Finite(d[i * 4 + k]);
    }
    CheckFinite(finite);
    return arrays_.Add({n, false, [d, uvw, corners](size_t first, size_t last, NumberArrays& out) {
                          for (size_t i = first; i < last; ++i) {
                            out.Open();
                            const int k = corners(i);
                            for (int m = 0; m < k; ++m) ArrayVec32(out, d[i * 4 + m], uvw);
                            out.Close();
                          }
                        }});
  }

  void Weights(CAWeightTag* wt, PolygonObject* poly, OJson& j) {
    const Int32 points = poly ? poly->GetPointCount() : wt->GetPointCapacity();
    const size_t n = static_cast<size_t>(std::max<Int32>(points, 0));
    OJson joints = OJson::array();
    OJson weights = OJson::array();
    for (Int32 k = 0; k < wt->GetJointCount(); ++k) {
      BaseObject* joint = wt->GetJoint(k, doc_);
      OJson ref = Ref(joint, false);
      // A joint that no longer exists takes its weights with it.
      if (ref.is_null()) continue;
      joints.push_back(std::move(ref));
      bool finite = true;
      for (Int32 i = 0; i < points && finite; ++i) finite = std::isfinite(wt->GetWeight(k, i));
      CheckFinite(finite);
      weights.push_back(
          arrays_.Add({n, true, [wt, k](size_t first, size_t last, NumberArrays& out) {
                         for (size_t i = first; i < last; ++i)
                           out.Number(wt->GetWeight(k, static_cast<Int32>(i)));
                       }}));
    }
    if (joints.empty()) return;
    j["joints"] = std::move(joints);
    j["weights"] = std::move(weights);
  }

  // ----- parameters -----

  const std::map<Int32, Int32>* TypesOf(Int32 type) {
    auto it = paramTypes_.find(type);
    if (it == paramTypes_.end()) {
      std::map<Int32, Int32> types;
      Description d;
      if (host::FindPlugin(type) && d.LoadDescription(type)) {
        for (const auto& e : d.Entries()) types[e.id.id] = e.type;
      }
      it = paramTypes_.emplace(type, std::move(types)).first;
    }
    return it->second.empty() ? nullptr : &it->second;
  }

  /// The container of a new element of a plug-in type: what a reader gets without a word, so
  /// its values need not be written.
  const BaseContainer* Fresh(Int32 type, bool tag) {
    const host::PluginInfo* p = host::FindPlugin(type);
    if (!p || p->type != (tag ? PLUGINTYPE::TAG : PLUGINTYPE::OBJECT)) return nullptr;
    auto& cache = tag ? freshTags_ : freshObjects_;
    auto it = cache.find(type);
    if (it == cache.end()) {
      std::unique_ptr<BaseList2D> node(tag ? static_cast<BaseList2D*>(BaseTag::Alloc(type))
                                           : static_cast<BaseList2D*>(BaseObject::Alloc(type)));
      it = cache.emplace(type, std::move(node)).first;
    }
    return it->second ? it->second->GetDataInstance() : nullptr;
  }

  OJson Params(const BaseContainer& bc, const std::map<Int32, Int32>* types,
               const std::vector<Int32>& named, const BaseContainer* defaults) {
    OJson p = OJson::object();
    for (const auto& [id, value] : bc.Entries()) {
      if (std::find(named.begin(), named.end(), id) != named.end()) continue;
      if (defaults) {
        const GeData* d = defaults->GetDataPointer(id);
        if (d && *d == value) continue;
      }
      Int32 dtype = 0;
      if (types) {
        auto it = types->find(id);
        if (it != types->end()) dtype = it->second;
      }
      p[std::to_string(id)] = Value(value, dtype);
    }
    return p;
  }

  OJson Value(const GeData& d, Int32 dtype) {
    const GeData::Value& v = d.GetValue();
    if (auto* i = std::get_if<Int32>(&v)) {
      if (dtype == DTYPE_BOOL && (*i == 0 || *i == 1)) return *i != 0;
      return *i;
    }
    if (auto* i = std::get_if<Int64>(&v)) return *i;
    if (auto* f = std::get_if<Float>(&v)) {
      if (!std::isfinite(*f)) {
        NonFinite();
        return nullptr;
      }
      return *f;  // written with its fraction ("1.0"), so it reads back as a float
    }
    if (auto* vec = std::get_if<Vector>(&v)) return Vec(*vec);
    if (auto* m = std::get_if<Matrix>(&v))
      return OJson{{"matrix", OJson::array({Vec(m->off), Vec(m->v1), Vec(m->v2), Vec(m->v3)})}};
    if (auto* s = std::get_if<String>(&v)) return s->GetUtf8();
    if (auto* f = std::get_if<Filename>(&v)) {
      if (dtype == DTYPE_FILENAME) return f->GetString().GetUtf8();
      return OJson{{"file", f->GetString().GetUtf8()}};
    }
    if (std::get_if<GeLink>(&v)) return OJson{{"link", Ref(d.GetLink(), false)}};
    if (auto* u = std::get_if<UnitScaleData>(&v)) {
      if (dtype == CUSTOMDATATYPE_UNITSCALE) return Unit(*u);
      return OJson{{"unit", Unit(*u)}};
    }
    if (const BaseContainer* c = d.GetContainer()) {
      OJson j = OJson::object();
      j["container"] = Params(*c, nullptr, {}, nullptr);
      if (c->GetId() != 0) j["containerId"] = c->GetId();
      return j;
    }
    return nullptr;
  }

  BaseDocument* doc_;
  std::optional<std::string> targetDir_;
  std::string where_;
  std::string error_;
  std::map<std::string, int> objectNames_, materialNames_;
  std::set<const BaseObject*> mainTree_, inDocument_;
  std::map<const BaseList2D*, std::string> ids_;
  std::set<std::string> usedIds_;
  std::set<const BaseList2D*> written_;
  bool needsIdLate_ = false;
  std::map<Int32, std::map<Int32, Int32>> paramTypes_;
  std::map<Int32, std::unique_ptr<BaseList2D>> freshTags_, freshObjects_;
  NumberSources arrays_;
};

}  // namespace

std::string SceneToText(BaseDocument* doc) {
  if (!doc) return std::string();
  Writer w(doc, std::nullopt);
  const OJson root = w.Build();
  return RenderSceneText(root, &w.Arrays());
}

std::string SceneToText(BaseDocument* doc, const std::string& folder) {
  if (!doc) return std::string();
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::absolute(folder, ec).lexically_normal();
  Writer w(doc, dir.generic_string());
  const OJson root = w.Build();
  return RenderSceneText(root, &w.Arrays());
}

bool SaveSceneFile(BaseDocument* doc, const std::string& path, std::string* error) {
  namespace fs = std::filesystem;
  auto fail = [&](const std::string& what) {
    if (error) *error = path + ": " + what;
    return false;
  };
  if (!doc) return fail("no document to write");
  std::error_code ec;
  const fs::path target = fs::absolute(fs::path(path), ec).lexically_normal();
  std::optional<Writer> w;
  OJson root;
  try {
    w.emplace(doc, target.parent_path().generic_string());
    root = w->Build();
    if (!w->Error().empty()) return fail("cannot write the scene: " + w->Error());
  } catch (const std::exception& e) {
    return fail(std::string("cannot write the scene: ") + e.what());
  }
  // A regular file is replaced atomically through a fresh temporary file, so that the old file
  // survives any failure and no planted link redirects the write; a device or a pipe is written
  // straight into (as WriteOutputFile writes). The text goes to the file a piece at a time as
  // it is laid out: the file of a large mesh is never whole in memory.
  host::ClearLastFileError();
  BaseFile file;
  if (!file.Open(Filename(String(path)), FILEOPEN_WRITE, FILEDIALOG_NONE))
    return fail("cannot create the file (" + host::LastFileError() + ")");
  try {
    RenderSceneText(root, &w->Arrays(), [&file](const char* text, size_t size) {
      file.WriteBytes(text, static_cast<Int64>(size));
    });
  } catch (const std::exception& e) {
    // The temporary file goes; whatever the target held stays.
    file.SetError(FILEERROR_WRITE);
    file.Close();
    return fail(std::string("cannot write the scene: ") + e.what());
  }
  if (file.Close()) return true;
  return fail("cannot write the file (" + host::LastFileError() + ")");
}

}  // namespace pmxapp
