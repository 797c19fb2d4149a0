// The scene page's geometry: every visible polygon object as the host evaluates it,
// triangulated in world space and grouped by material, with the document's materials.
#include <map>
#include <vector>

#include "c4d_host.h"
#include "view_scene.h"
#include "view_scene_internal.h"

namespace pmxapp {

using namespace viewscene;

namespace {

bool LayerShown(const BaseObject* op, BaseDocument* doc) {
  const LayerData* layer = op->GetLayerData(doc);
  return !layer || layer->view;
}

/// One polygon object as triangles in world space, grouped by the material its texture tags
/// give each polygon (the last tag that covers a polygon wins, as in the host).
Json MeshJson(PolygonObject* op, const std::map<BaseMaterial*, Int32>& materials,
              Int32 defaultMaterial) {
  const Int32 pointCount = op->GetPointCount();
  const Int32 polygonCount = op->GetPolygonCount();
  const Vector* points = op->GetPointR();
  const CPolygon* polygons = op->GetPolygonR();
  std::vector<Int32> material(static_cast<size_t>(polygonCount), defaultMaterial);
  for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext()) {
    if (t->GetType() != Ttexture) continue;
    BaseMaterial* mat = static_cast<TextureTag*>(t)->GetMaterial();
    auto it = mat ? materials.find(mat) : materials.end();
    if (it == materials.end()) continue;
    const String restriction = t->GetDataInstance()->GetString(TEXTURETAG_RESTRICTION);
    const BaseSelect* only = nullptr;
    if (restriction.Content()) {
      for (BaseTag* s = op->GetFirstTag(); s && !only; s = s->GetNext()) {
        if (s->GetType() == Tpolygonselection && s->GetName() == restriction)
          only = static_cast<SelectionTag*>(s)->GetBaseSelect();
      }
      if (!only) continue;
    }
    for (Int32 p = 0; p < polygonCount; ++p) {
      if (!only || only->IsSelected(p)) material[static_cast<size_t>(p)] = it->second;
    }
  }
  auto* uvw = static_cast<UVWTag*>(op->GetTag(Tuvw));
  if (uvw && uvw->GetDataCount() < polygonCount) uvw = nullptr;
  const Matrix mg = op->GetMg();

  // Triangles sorted by material so that each material is one range.
  std::map<Int32, std::vector<Int32>> byMaterial;
  for (Int32 p = 0; p < polygonCount; ++p)
    byMaterial[material[static_cast<size_t>(p)]].push_back(p);
  Json positions = Json::array(), uvs = Json::array(), groups = Json::array();
  Int32 vertices = 0;
  for (const auto& [mat, list] : byMaterial) {
    const Int32 start = vertices;
    for (const Int32 p : list) {
      const CPolygon& c = polygons[p];
      const Int32 corners[4] = {c.a, c.b, c.c, c.d};
      bool valid = true;
      for (const Int32 k : corners) valid = valid && k >= 0 && k < pointCount;
      if (!valid) continue;
      UVWStruct uv;
      if (uvw) uv = uvw->GetSlow(p);
      const Vector uvCorner[4] = {uv.a, uv.b, uv.c, uv.d};
      // Quadrangles split along a-c, as the export splits them.
      const int tris[2][3] = {{0, 1, 2}, {0, 2, 3}};
      const int count = c.c == c.d ? 1 : 2;
      for (int t = 0; t < count; ++t) {
        for (const int k : tris[t]) {
          const Vector w = mg * points[corners[k]];
          positions.push_back(Short(w.x));
          positions.push_back(Short(w.y));
          positions.push_back(Short(w.z));
          if (uvw) {
            uvs.push_back(Short(uvCorner[k].x));
            uvs.push_back(Short(1.0 - uvCorner[k].y));
          }
          ++vertices;
        }
      }
    }
    groups.push_back({{"material", mat}, {"start", start}, {"count", vertices - start}});
  }
  // The smoothing angle in radians, as the tag keeps it; none: flat.
  double phong = -1;
  if (BaseTag* t = op->GetTag(Tphong)) {
    const BaseContainer* bc = t->GetDataInstance();
    phong = bc->GetBool(PHONGTAG_PHONG_ANGLELIMIT) ? bc->GetFloat(PHONGTAG_PHONG_ANGLE) : PI;
  }
  return {{"name", op->GetName().GetUtf8()},
          {"positions", std::move(positions)},
          {"uvs", uvw ? std::move(uvs) : Json()},
          {"groups", std::move(groups)},
          {"phong", phong}};
}

/// The objects the editor draws: a deformer's or generator's result in place of the object,
/// inputs of generators and hidden objects left out.
void CollectMeshes(BaseObject* op, BaseDocument* doc,
                   const std::map<BaseMaterial*, Int32>& materials, Int32 defaultMaterial,
                   Json* out) {
  for (; op; op = op->GetNext()) {
    const bool shown = host::IsVisibleInEditor(op) && LayerShown(op, doc);
    if (BaseObject* deformed = op->GetDeformCache()) {
      if (shown) CollectMeshes(deformed, doc, materials, defaultMaterial, out);
    } else if (BaseObject* cache = op->GetCache()) {
      if (shown) CollectMeshes(cache, doc, materials, defaultMaterial, out);
    } else if (shown && op->GetType() == Opolygon) {
      out->push_back(MeshJson(static_cast<PolygonObject*>(op), materials, defaultMaterial));
    }
    CollectMeshes(op->GetDown(), doc, materials, defaultMaterial, out);
  }
}

}  // namespace

std::string ScenePage::GeometryJson() {
  std::lock_guard lock(mutex_);
  BaseDocument* doc = doc_.get();
  Json materials = Json::array();
  std::map<BaseMaterial*, Int32> index;
  for (BaseMaterial* m = doc->GetFirstMaterial(); m; m = m->GetNext()) {
    Vector color(0.8, 0.8, 0.8);
    std::string texture;
    if (m->GetChannelState(CHANNEL_COLOR)) {
      const BaseContainer data = m->GetChannel(CHANNEL_COLOR)->GetData();
      color = data.GetVector(BASECHANNEL_COLOR_EX) * data.GetFloat(BASECHANNEL_BRIGHTNESS_EX);
      texture = data.GetString(BASECHANNEL_TEXTURE).GetUtf8();
    }
    double opacity = 1.0;
    if (m->GetChannelState(CHANNEL_TRANSPARENCY))
      opacity =
          1.0 - m->GetChannel(CHANNEL_TRANSPARENCY)->GetData().GetFloat(BASECHANNEL_BRIGHTNESS_EX);
    index[m] = static_cast<Int32>(materials.size());
    materials.push_back({{"name", m->GetName().GetUtf8()},
                         {"color", Vec(color)},
                         {"opacity", Short(opacity)},
                         {"texture", TextureIndex(texture)}});
  }
  const Int32 fallback = static_cast<Int32>(materials.size());
  materials.push_back({{"name", "(none)"},
                       {"color", Json::array({0.8, 0.8, 0.8})},
                       {"opacity", 1.0},
                       {"texture", -1}});
  Json meshes = Json::array();
  CollectMeshes(doc->GetFirstObject(), doc, index, fallback, &meshes);
  return Json{{"geometryVersion", geometryVersion_},
              {"materials", std::move(materials)},
              {"meshes", std::move(meshes)}}
      .dump();
}

}  // namespace pmxapp
