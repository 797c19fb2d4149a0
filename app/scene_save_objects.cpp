// Writing scene files: materials and their channels, objects with their transforms and
// geometry, and selections (runs of indices written as [first, last]).
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "scene_format.h"
#include "scene_writer.h"

namespace pmxapp::scenesave {

using namespace scene;

OJson Writer::Material(BaseMaterial* m) {
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

OJson Writer::Channel(BaseMaterial* m, Int32 id) {
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

OJson Writer::Chain(BaseObject* first, const std::string& where) {
  OJson a = OJson::array();
  size_t i = 0;
  for (BaseObject* op = first; op; op = op->GetNext(), ++i)
    a.push_back(Object(op, where + "[" + std::to_string(i) + "]"));
  return a;
}

OJson Writer::Object(BaseObject* op, const std::string& where) {
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
  if (op->GetDeformCache()) j["deformCache"] = Chain(op->GetDeformCache(), where + ".deformCache");
  if (op->GetDown()) j["children"] = Chain(op->GetDown(), where + ".children");
  written_.insert(op);
  return j;
}

OJson Writer::Visibility(Int32 mode) {
  std::string_view n = FindName(VisibilityNames(), mode);
  return n.empty() ? OJson(mode) : OJson(std::string(n));
}

OJson Writer::Bits(Int32 bits) {
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

void Writer::Geometry(PolygonObject* poly, OJson& j) {
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

OJson Writer::Selection(const BaseSelect& sel) {
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

}  // namespace pmxapp::scenesave
