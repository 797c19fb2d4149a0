// The hierarchy walk that gathers what a document exports.
#include <memory>

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

/// Converts `op` and appends its record when it has at least one triangle; answers the
/// record or null.
PmxPolygonExchangeObject* AddObject(PmxPolygonExchange* exchange, PolygonObject* op) {
  auto record = std::make_unique<PmxPolygonExchangeObject>();
  if (!PmxConvertObject(record.get(), op) || record->triangles.empty()) return nullptr;
  exchange->objects.push_back(std::move(record));
  return exchange->objects.back().get();
}

/// Appends a joint node under `parent` (the root when null) and answers it.
PmxPolygonExchangeJoint* AddJoint(PmxPolygonExchange* exchange, PmxPolygonExchangeJoint* parent,
                                  BaseObject* joint, const Matrix& world) {
  if (!parent) parent = &exchange->rootJoint;
  auto node = std::make_unique<PmxPolygonExchangeJoint>();
  node->hostJoint = joint;
  node->matrix = world;
  parent->children.push_back(std::move(node));
  return parent->children.back().get();
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

void PmxWalkHierarchy(PmxPolygonExchange* exchange, BaseObject* first, Int32 enabled,
                      PmxPolygonExchangeJoint* parentJoint, const Matrix& parentMatrix) {
  for (BaseObject* op = first; op; op = op->GetNext()) {
    if (op->GetType() == ID_PMX_SKIPPED_OBJECT_TYPE) continue;
    const Matrix world = parentMatrix * LocalRotationScale(op);
    const Int32 own = VisibilityOf(op, enabled);
    PmxPolygonExchangeJoint* jointForChildren = parentJoint;

    BaseObject* deformCache = op->GetDeformCache();
    BaseObject* cache = op->GetCache();
    if (op->GetType() == ID_PMXMORPHOBJECT) {
      if (op->GetDown() && own) PmxCollectMorphGroup(exchange, op->GetDown(), own);
    } else if (deformCache) {
      if (own) PmxWalkHierarchy(exchange, deformCache, own, parentJoint, world);
    } else if (cache) {
      if (own) PmxWalkHierarchy(exchange, cache, own, parentJoint, world);
    } else if (!op->GetBit(BIT_CONTROLOBJECT) && own) {
      if (op->IsInstanceOf(Ojoint)) {
        jointForChildren = AddJoint(exchange, parentJoint, op, world);
      } else if (op->IsInstanceOf(Opolygon)) {
        AddObject(exchange, static_cast<PolygonObject*>(op));
      }
    }

    // Children inherit this level's flag, not the object's own: only "off" is passed down.
    const Int32 childFlag = op->GetRenderMode() == MODE_OFF ? 0 : enabled;
    if (op->GetDown())
      PmxWalkHierarchy(exchange, op->GetDown(), childFlag, jointForChildren, world);
  }
}

void PmxCollectMorphGroup(PmxPolygonExchange* exchange, BaseObject* firstChild, Int32 enabled) {
  PmxPolygonExchangeObject* base = nullptr;
  for (BaseObject* child = firstChild; child; child = child->GetNext()) {
    if (!VisibilityOf(child, enabled) || child->GetType() != Opolygon) continue;
    if (!base) {
      base = AddObject(exchange, static_cast<PolygonObject*>(child));
    } else {
      PmxOfferMorphTarget(base, child);
    }
  }
}
