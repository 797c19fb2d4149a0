// Writing scene files: tags, with UVWs, normals, vertex maps and weights checked for values that
// are not finite before the file is begun.
#include <algorithm>
#include <cmath>

#include "scene_format.h"
#include "scene_writer.h"

namespace pmxapp::scenesave {

using namespace scene;

OJson Writer::Tag(BaseTag* t, PolygonObject* poly) {
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

OJson Writer::Corners(VariableTag* vt, PolygonObject* poly) {
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

void Writer::Weights(CAWeightTag* wt, PolygonObject* poly, OJson& j) {
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
    weights.push_back(arrays_.Add({n, true, [wt, k](size_t first, size_t last, NumberArrays& out) {
                                     for (size_t i = first; i < last; ++i)
                                       out.Number(wt->GetWeight(k, static_cast<Int32>(i)));
                                   }}));
  }
  if (joints.empty()) return;
  j["joints"] = std::move(joints);
  j["weights"] = std::move(weights);
}

}  // namespace pmxapp::scenesave
