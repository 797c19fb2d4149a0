// Morph targets of a base object. Targets are only collected for now; their offsets are
// not yet turned into vertex morphs.
#include "pmx/pmxconvert.h"

Bool PmxOfferMorphTarget(PmxPolygonExchangeObject* base, BaseObject* target) {
  if (!base || !target || !base->sourceObject || target->GetType() != Opolygon) return false;
  base->morphTargets.push_back(target);
  return true;
}

PmxMorph* PmxAddMorphOffsets(PmxPolygonExchange*, PmxPolygonExchangeObject*, BaseObject*, Int64,
                             Float) {
  return nullptr;
}
