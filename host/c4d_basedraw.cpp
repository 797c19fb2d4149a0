#include "c4d_basedraw.h"

#include <algorithm>

#include "c4d_basedocument.h"
#include "c4d_gui.h"
#include "c4d_host.h"

const char* DrawCallKindName(DrawCall::Kind kind) {
  switch (kind) {
    case DrawCall::Kind::SetMatrix:
      return "SetMatrix_Matrix";
    case DrawCall::Kind::SetPen:
      return "SetPen";
    case DrawCall::Kind::SetTransparency:
      return "SetTransparency";
    case DrawCall::Kind::SetLightList:
      return "SetLightList";
    case DrawCall::Kind::DrawLine:
      return "DrawLine";
    case DrawCall::Kind::DrawPolygon:
      return "DrawPolygon";
    case DrawCall::Kind::CheckColor:
      return "CheckColor";
  }
  return "";
}

BaseDraw::BaseDraw() {
  editorCamera_ = BaseObject::Alloc(Ocamera);
  editorCamera_->SetName(String("Editor Camera"));
  // The host's default perspective view looks at the origin from the front, above and left.
  editorCamera_->SetRelPos(Vector(0, 300, -500));
  data_.SetInt32(DISPLAYTAG_SDISPLAYMODE, DISPLAYMODE_GOURAUD);
  ClearCalls();
}

BaseDraw::~BaseDraw() { BaseObject::Free(editorCamera_); }

void BaseDraw::ClearCalls() {
  calls_.clear();
  // The transparency is a setting of the view that a redraw starts from; the rest is the
  // state of one redraw.
  const Int32 transparency = state_.transparency;
  state_ = DrawCall();
  state_.pen = Vector(1, 1, 1);
  state_.transparency = transparency;
}

void BaseDraw::Record(DrawCall::Kind kind) {
  DrawCall c = state_;
  c.kind = kind;
  calls_.push_back(std::move(c));
}

void BaseDraw::SetMatrix_Matrix(BaseObject* op, const Matrix& mg) { SetMatrix_Matrix(op, mg, 0); }

void BaseDraw::SetMatrix_Matrix(BaseObject*, const Matrix& mg, Int32 zoffset) {
  state_.matrix = mg;
  state_.zoffset = zoffset;
  Record(DrawCall::Kind::SetMatrix);
}

void BaseDraw::SetPen(const Vector& col, Int32) {
  state_.pen = col;
  Record(DrawCall::Kind::SetPen);
}

void BaseDraw::SetTransparency(Int32 trans) {
  state_.transparency = trans;
  state_.value = trans;
  Record(DrawCall::Kind::SetTransparency);
  state_.value = 0;
}

void BaseDraw::SetLightList(Int32 mode) {
  state_.lightList = mode;
  state_.value = mode;
  Record(DrawCall::Kind::SetLightList);
  state_.value = 0;
}

void BaseDraw::DrawLine(const Vector& p1, const Vector& p2, Int32 flags) {
  DrawCall c = state_;
  c.kind = DrawCall::Kind::DrawLine;
  c.value = flags;
  c.points = {p1, p2};
  calls_.push_back(std::move(c));
}

void BaseDraw::DrawPolygon(const Vector* p, const Vector* f, Bool quad) {
  DrawPoly(p, f, nullptr, quad ? 4 : 3, 0);
}

void BaseDraw::DrawPoly(const Vector* p, const Vector* f, const Vector* n, Int32 anz, Int32 flags) {
  if (!p || anz < 3 || anz > 4) return;
  DrawCall c = state_;
  c.kind = DrawCall::Kind::DrawPolygon;
  c.value = flags;
  for (Int32 i = 0; i < anz; ++i) {
    c.points.push_back(p[i]);
    c.colors.push_back(f ? f[i] : state_.pen);
    c.normals.push_back(n ? n[i] : Vector());
  }
  calls_.push_back(std::move(c));
}

Vector BaseDraw::CheckColor(const Vector& col) {
  const Vector out(std::clamp(col.x, 0.0, 1.0), std::clamp(col.y, 0.0, 1.0),
                   std::clamp(col.z, 0.0, 1.0));
  DrawCall c = state_;
  c.kind = DrawCall::Kind::CheckColor;
  c.colors = {col, out};
  calls_.push_back(std::move(c));
  return out;
}

BaseObject* BaseDraw::GetSceneCamera(const BaseDocument* doc) const {
  auto* cam = dynamic_cast<BaseObject*>(BaseList2D::FindByUniqueId(sceneCamera_.id));
  if (!cam || (doc && cam->GetDocument() != doc)) return nullptr;
  return cam;
}

void BaseDraw::SetSceneCamera(BaseObject* camera) {
  sceneCamera_.id = camera ? camera->GetUniqueId() : 0;
}

Int32 BaseDraw::GetDisplayMode() const {
  return data_.GetInt32(DISPLAYTAG_SDISPLAYMODE, DISPLAYMODE_GOURAUD);
}

void BaseDraw::SetDisplayMode(Int32 mode) { data_.SetInt32(DISPLAYTAG_SDISPLAYMODE, mode); }

BaseDrawHelp::BaseDrawHelp(BaseDraw* bd, BaseDocument* doc) : bd_(bd), doc_(doc) {
  if (bd) display_.SetInt32(DISPLAYTAG_SDISPLAYMODE, bd->GetDisplayMode());
}

namespace host {

void RedrawDocument(BaseDocument* doc) {
  if (!doc) return;
  doc->ExecutePasses(nullptr, true, true, true, BUILDFLAGS_0);
  SendCoreMessage(EVMSG_DOCUMENTRECALCULATED);
  if (TakePendingChange()) SendCoreMessage(EVMSG_CHANGE);
  std::vector<const PluginInfo*> hooks;
  for (const PluginInfo& p : Plugins()) {
    if (p.type == PLUGINTYPE::SCENEHOOK) hooks.push_back(&p);
  }
  std::stable_sort(hooks.begin(), hooks.end(), [](const PluginInfo* a, const PluginInfo* b) {
    return a->priority > b->priority;
  });
  for (Int32 v = 0; v < doc->GetBaseDrawCount(); ++v) {
    BaseDraw* bd = doc->GetBaseDraw(v);
    bd->ClearCalls();
    BaseDrawHelp bh(bd, doc);
    for (const PluginInfo* p : hooks) {
      BaseSceneHook* node = doc->FindSceneHook(p->id);
      auto* data = node ? node->GetNodeData<SceneHookData>() : nullptr;
      if (data) data->Draw(node, doc, bd, &bh, nullptr, SCENEHOOKDRAW_DRAW_PASS);
    }
  }
}

}  // namespace host
