// The hierarchy walk that gathers what a document exports.
#include "pmx/pmxconvert.h"

namespace {

/// The object's own rotation and scale; positions come from the objects themselves.
Matrix LocalRotationScale(const BaseObject* op) {
  Matrix m = HPBToMatrix(op->GetRelRot(), op->GetRotationOrder());
  const Vector s = op->GetRelScale();
  m.v1 = m.v1 * s.x;
  m.v2 = m.v2 * s.y;
  m.v3 = m.v3 * s.z;
  m.off = Vector();
  return m;
}

Int32 VisibilityOf(const BaseObject* op, Int32 inherited) {
  switch (op->GetRenderMode()) {
    case MODE_ON:
      return 1;
    case MODE_OFF:
      return 0;
    default:
      return inherited;
  }
}

}  // namespace

void PmxWalkHierarchy(PmxPolygonExchange* model, BaseObject* first, Int32 enabled,
                      PmxPolygonExchangeJoint* parentJoint, const Matrix& parentMatrix) {
  for (BaseObject* op = first; op; op = op->GetNext()) {
    if (op->GetType() == ID_PMX_SKIPPED_OBJECT_TYPE) continue;
    const Matrix world = parentMatrix * LocalRotationScale(op);
    const Int32 own = VisibilityOf(op, enabled);
    PmxPolygonExchangeJoint* jointForChildren = parentJoint;

    BaseObject* deformCache = op->GetDeformCache();
    BaseObject* cache = op->GetCache();
    if (op->GetType() == ID_PMX_MORPH_OBJECT_TYPE) {
      if (op->GetDown() && own) PmxCollectMorphGroup(model, op->GetDown(), own);
    } else if (deformCache) {
      if (own) PmxWalkHierarchy(model, deformCache, own, parentJoint, world);
    } else if (cache) {
      if (own) PmxWalkHierarchy(model, cache, own, parentJoint, world);
    } else if (!op->GetBit(BIT_CONTROLOBJECT) && own) {
      if (op->IsInstanceOf(Ojoint)) {
        jointForChildren = model->AddJoint(parentJoint, op, world);
      } else if (op->IsInstanceOf(Opolygon)) {
        model->AddObject(static_cast<PolygonObject*>(op));
      }
    }

    // Children inherit this level's flag, not the object's own: only "off" is passed down.
    const Int32 childFlag = op->GetRenderMode() == MODE_OFF ? 0 : enabled;
    if (op->GetDown()) PmxWalkHierarchy(model, op->GetDown(), childFlag, jointForChildren, world);
  }
}

void PmxCollectMorphGroup(PmxPolygonExchange* model, BaseObject* firstChild, Int32 enabled) {
  PmxPolygonExchangeObject* base = nullptr;
  for (BaseObject* child = firstChild; child; child = child->GetNext()) {
    if (!VisibilityOf(child, enabled) || child->GetType() != Opolygon) continue;
    if (!base) {
      model->AddObject(static_cast<PolygonObject*>(child), &base);
    } else {
      PmxOfferMorphTarget(base, child);
    }
  }
}
