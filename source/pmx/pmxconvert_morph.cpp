// Morph targets of a base object: accepted during the walk, turned into vertex morphs when
// the base is emitted.
#include <algorithm>

#include "pmx/pmxconvert.h"

Bool PmxOfferMorphTarget(PmxPolygonExchangeObject* base, BaseObject* target) {
  if (!base || !target || !base->sourceObject || target->GetType() != Opolygon) return false;
  const PolygonObject* source = base->sourceObject;
  const String name = target->GetName();
  if (static_cast<PolygonObject*>(target)->GetPointCount() != source->GetPointCount()) {
    GePrint(String("モーフターゲット[") + name + String("]はベースオブジェクト[") +
            source->GetName() + String("]と頂点数が異なります。\n"));
    return false;
  }
  for (const BaseObject* accepted : base->morphTargets) {
    if (accepted->GetName() == name) {
      GePrint(String("モーフターゲット[") + name +
              String("]は既に同名のターゲットが存在しています。\n"));
      return false;
    }
  }
  base->morphTargets.push_back(target);
  return true;
}

void PmxAddMorphOffsets(PmxPolygonExchange* exchange, const PmxPolygonExchangeObject& base,
                        const BaseObject* target, Int64 baseVertexIndex, Float scale) {
  if (!base.sourceObject || !target || target->GetType() != Opolygon) return;
  const String name = target->GetName();
  if (!name.Content()) return;

  // Targets of one name feed one morph, under one morph object or under several.
  std::vector<PmxMorph>& morphs = exchange->model.morphs;
  auto found = exchange->morphsByName.find(name);
  if (found == exchange->morphsByName.end()) {
    found = exchange->morphsByName.emplace(name, static_cast<Int64>(morphs.size())).first;
    morphs.emplace_back().name = name;
  }
  PmxMorph& morph = morphs[static_cast<size_t>(found->second)];

  const PolygonObject* source = base.sourceObject;
  const auto* shape = static_cast<const PolygonObject*>(target);
  const Vector* b = source->GetPointR();
  const Vector* t = shape->GetPointR();
  const Int32 n = std::min(source->GetPointCount(), shape->GetPointCount());
  if (!b || !t) return;

  // Both shapes are placed with the base's matrix: a target object moved aside in the
  // scene gives the same offsets as one left in place.
  const Matrix m = source->GetMg();
  for (Int32 i = 0; i < n; ++i) {
    const Vector d = (m * t[i] - m * b[i]) * scale;
    for (const PmxObjectVertex* v = base.FirstVertexOfPoint(i); v;
         v = base.NextVertexOfSamePoint(*v)) {
      PmxMorphOffset offset;
      offset.vertexIndex = static_cast<Int32>(baseVertexIndex + v->localIndex);
      offset.offset[0] = d.x;
      offset.offset[1] = d.y;
      offset.offset[2] = d.z;
      morph.offsets.push_back(offset);
    }
  }
}
