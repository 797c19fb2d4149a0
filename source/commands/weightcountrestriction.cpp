#include "commands/weightcountrestriction.h"

#include <algorithm>
#include <cmath>

#include "influences.h"

Bool RestrictWeightCount(BaseObject* op, Int32 maxCount, Bool normalize) {
  if (!op || maxCount < 1) return false;
  auto* tag = static_cast<CAWeightTag*>(op->GetTag(Tweights));
  if (!tag) return true;
  const Int32 jointCount = tag->GetJointCount();
  const Int32 pointCount =
      op->IsInstanceOf(Opoint) ? static_cast<PointObject*>(op)->GetPointCount() : 0;
  if (jointCount <= 0) return true;

  WeightRestrictionEntry* entries = NewMemClear(WeightRestrictionEntry, jointCount);
  if (!entries) return true;  // nothing can be restricted without the working array
  for (Int32 p = 0; p < pointCount; ++p) {
    Int32 influences = 0;
    for (Int32 j = 0; j < jointCount; ++j) {
      entries[j].joint = tag->GetJoint(j);
      entries[j].jointIndex = j;
      entries[j].weight = tag->GetWeight(j, p);
      if (entries[j].weight >= kInfluenceEpsilon) ++influences;
    }
    std::sort(entries, entries + jointCount,
              [](const WeightRestrictionEntry& a, const WeightRestrictionEntry& b) {
                return StrongerInfluence(a.weight, a.jointIndex, b.weight, b.jointIndex);
              });
    if (influences <= maxCount) continue;

    if (normalize) {
      Float sum = 0.0;
      for (Int32 k = 0; k < maxCount; ++k) sum += entries[k].weight;
      const Float factor = std::abs(sum) > kInfluenceEpsilon ? 1.0 / sum : 0.0;
      for (Int32 k = 0; k < maxCount; ++k) entries[k].weight *= factor;
    }
    for (Int32 k = maxCount; k < influences; ++k) entries[k].weight = 0.0;
    // Weights under the threshold sorted behind the influences; they are left in the tag.
    for (Int32 k = 0; k < influences; ++k) {
      tag->SetWeight(entries[k].jointIndex, p, entries[k].weight);
    }
  }
  DeleteMem(entries);

  tag->WeightDirty();
  tag->SetDirty(DIRTYFLAGS_DATA);
  tag->Message(MSG_UPDATE);
  return true;
}

Bool WeightCountRestrictionCommand::Execute(BaseDocument* doc) {
  if (!doc) return true;
  doc->StartUndo();
  AtomArray* selection = AtomArray::Alloc();
  if (selection) {
    doc->GetActiveObjects(*selection, GETACTIVEOBJECTFLAGS_CHILDREN);
    for (Int32 i = 0; i < selection->GetCount(); ++i) {
      auto* op = static_cast<BaseObject*>(selection->GetIndex(i));
      if (!op || op->GetType() != Opolygon) continue;
      // Recorded before anything is looked at, so every polygon object of the run is in the
      // undo step, with or without a weight tag.
      doc->AddUndo(UNDOTYPE_CHANGE, op);
      RestrictWeightCount(op, 4, true);
    }
  }
  doc->EndUndo();
  AtomArray::Free(selection);
  return true;
}

Int32 WeightCountRestrictionCommand::GetState(BaseDocument* doc) {
  return doc && doc->GetActiveObject() ? CMD_ENABLED : 0;
}

Bool RegisterWeightCountRestriction() {
  const String name = GeLoadString(IDS_WEIGHT_COUNT_RESTRICTION);
  return RegisterCommandPlugin(ID_WEIGHT_COUNT_RESTRICTION, name, 0,
                               AutoBitmap(String("Weight_Count_Restriction.png")), String(),
                               new WeightCountRestrictionCommand);
}
