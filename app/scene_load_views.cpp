// Scene files: what the editor's views show and how — views with their display mode and
// cameras, layers, scene hook settings — and the per-object keys the viewport reads.
#include "scene_loader.h"

namespace pmxapp::sceneload {

using namespace scene;

void Loader::LoadLayers(const Json& v) {
  CheckArray(v, "an array of layers such as {\"name\": \"Hidden\", \"view\": false}");
  for (size_t i = 0; i < v.size(); ++i) {
    At a(*this, Index(i));
    const Json& l = v[i];
    CheckObject(l, "a layer such as {\"name\": \"Hidden\", \"view\": false}");
    CheckKeys(l, {"name", "view", "render", "locked", "color"});
    const std::optional<Json> name = Member(l, "name");
    if (!name) Fail("missing \"name\" (objects name their layer by it)");
    std::string layerName;
    {
      At b(*this, "name");
      layerName = Text(*name);
      if (layers_.count(layerName)) Fail("a second layer named " + name->dump());
    }
    auto layer = std::make_unique<LayerObject>();
    layer->SetName(String(layerName));
    LayerData data;
    if (const std::optional<Json> x = Member(l, "view")) {
      At b(*this, "view");
      data.view = Boolean(*x);
    }
    if (const std::optional<Json> x = Member(l, "render")) {
      At b(*this, "render");
      data.render = Boolean(*x);
    }
    if (const std::optional<Json> x = Member(l, "locked")) {
      At b(*this, "locked");
      data.locked = Boolean(*x);
    }
    if (const std::optional<Json> x = Member(l, "color")) {
      At b(*this, "color");
      data.color = Vec(*x);
    }
    layer->SetLayerData(data);
    layers_[layerName] = layer.get();
    doc_->InsertLayer(layer.release());
  }
}

void Loader::LoadViews(const Json& v) {
  CheckArray(v, "an array of views such as {\"name\": \"Perspective\", \"display\": \"gouraud\"}");
  if (v.empty()) Fail("a document has at least one view");
  doc_->RemoveBaseDraws();
  Int32 active = -1;
  for (size_t i = 0; i < v.size(); ++i) {
    At a(*this, Index(i));
    const Json& j = v[i];
    CheckObject(j, "a view such as {\"name\": \"Perspective\", \"display\": \"gouraud\"}");
    CheckKeys(j, {"name", "display", "camera", "sceneCamera", "active"});
    auto* bd = new BaseDraw;
    doc_->InsertBaseDraw(bd);
    if (const std::optional<Json> x = Member(j, "name")) {
      At b(*this, "name");
      bd->SetName(String(Text(*x)));
    }
    if (const std::optional<Json> x = Member(j, "display")) {
      At b(*this, "display");
      bd->SetDisplayMode(Named(*x, DisplayModeNames(), "display mode"));
    }
    if (const std::optional<Json> x = Member(j, "camera")) {
      At b(*this, "camera");
      CheckObject(*x, "the editor camera {\"pos\": [x, y, z], \"rot\": [h, p, b]}");
      CheckKeys(*x, {"pos", "rot"});
      BaseObject* camera = bd->GetEditorCamera();
      if (const std::optional<Json> p = Member(*x, "pos")) {
        At c(*this, "pos");
        camera->SetRelPos(Vec(*p));
      }
      if (const std::optional<Json> r = Member(*x, "rot")) {
        At c(*this, "rot");
        if (!r->is_array() || r->size() != 3) Expected("[heading, pitch, bank] in degrees", *r);
        Float angles[3];
        for (size_t k = 0; k < 3; ++k) {
          At d(*this, Index(k));
          angles[k] = Rad(Angle((*r)[k]));
        }
        camera->SetRelRot(Vector(angles[0], angles[1], angles[2]));
      }
    }
    if (const std::optional<Json> x = Member(j, "sceneCamera")) {
      At b(*this, "sceneCamera");
      if (!x->is_null()) {
        Defer(*x, LinkKind::Object,
              [bd](BaseList2D* node) { bd->SetSceneCamera(static_cast<BaseObject*>(node)); });
      }
    }
    if (const std::optional<Json> x = Member(j, "active")) {
      At b(*this, "active");
      if (Boolean(*x)) {
        if (active >= 0) Fail("only one view can be the active one");
        active = static_cast<Int32>(i);
      }
    }
  }
  doc_->SetActiveBaseDraw(active < 0 ? 0 : active);
}

void Loader::LoadSceneHooks(const Json& v) {
  CheckArray(v, "an array of scene hooks such as {\"type\": 1038099, \"params\": {...}}");
  for (size_t i = 0; i < v.size(); ++i) {
    At a(*this, Index(i));
    const Json& h = v[i];
    CheckObject(h, "a scene hook such as {\"type\": 1038099, \"params\": {...}}");
    CheckKeys(h, {"type", "params"});
    const std::optional<Json> type = Member(h, "type");
    if (!type) Fail("missing \"type\" (the scene hook's plug-in id)");
    Int32 id;
    {
      At b(*this, "type");
      id = Int(*type, 1, INT32_MAX, "a scene hook's plug-in id");
    }
    BaseSceneHook* hook = doc_->FindSceneHook(id);
    if (!hook) Fail("no scene hook " + std::to_string(id) + " is registered");
    if (const std::optional<Json> p = Member(h, "params")) {
      At b(*this, "params");
      // Values keep the types the hook's Init gave them (a real written as 2 stays a real).
      ParamTypes types;
      for (const auto& [param, value] : hook->GetDataInstance()->Entries())
        types[param] = value.GetType();
      LoadParams(*p, hook->GetDataInstance(), &types, {}, {});
    }
  }
}

void Loader::LoadDisplayKeys(const Json& o, BaseObject* op, PolygonObject* poly) {
  if (const std::optional<Json> v = Member(o, "xray")) {
    At a(*this, "xray");
    op->GetDataInstance()->SetBool(ID_BASEOBJECT_XRAY, Boolean(*v));
  }
  if (const std::optional<Json> v = Member(o, "layer")) {
    At a(*this, "layer");
    auto it = layers_.find(Text(*v));
    if (it == layers_.end()) Fail("no layer named " + v->dump() + " in \"layers\"");
    op->SetLayerObject(it->second);
  }
  if (!poly) return;
  const Int32 points = poly->GetPointCount(), polygons = poly->GetPolygonCount();
  if (const std::optional<Json> v = Member(o, "hiddenPolygons")) {
    At a(*this, "hiddenPolygons");
    Selection(*v, poly->GetPolygonH(), polygons, "polygon");
  }
  if (const std::optional<Json> v = Member(o, "ngons")) {
    At a(*this, "ngons");
    CheckArray(*v, "an array of N-gon outlines, each the loop of its point indices");
    std::vector<std::vector<Int32>> outlines;
    const std::string what = points == 0 ? "no point index (the object has no points)"
                                         : "a point index from 0 to " + std::to_string(points - 1);
    for (size_t i = 0; i < v->size(); ++i) {
      At b(*this, Index(i));
      const Json& loop = (*v)[i];
      if (!loop.is_array() || loop.size() < 3) Expected("an outline of at least 3 points", loop);
      std::vector<Int32> outline;
      for (size_t k = 0; k < loop.size(); ++k) {
        At c(*this, Index(k));
        outline.push_back(Int(loop[k], 0, Int64(points) - 1, what));
      }
      outlines.push_back(std::move(outline));
    }
    poly->SetNgonOutlines(std::move(outlines));
  }
}

}  // namespace pmxapp::sceneload
