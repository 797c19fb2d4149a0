// The command that limits every point of the selected meshes to four joint influences.
#pragma once

#include "c4d.h"
#include "c4d_symbols.h"

/// One joint's weight at the point being restricted.
struct WeightRestrictionEntry {
  BaseObject* joint;  // carried along for the caller's benefit; decisions use only the weight
  Int32 jointIndex;
  Float weight;
};

class WeightCountRestrictionCommand : public CommandData {
 public:
  ~WeightCountRestrictionCommand() override = default;
  Bool Execute(BaseDocument* doc) override;
  Int32 GetState(BaseDocument* doc) override;
};

/// Keeps, at every point of `op`'s first weight tag with more than `maxCount` influences
/// (weights >= 1e-10), the `maxCount` strongest, optionally rescaled to add up to 1, and sets
/// the weaker influences to 0. Points at or under the limit are left exactly as they are.
/// False only for a null object or a `maxCount` below 1.
Bool RestrictWeightCount(BaseObject* op, Int32 maxCount, Bool normalize);

Bool RegisterWeightCountRestriction();
