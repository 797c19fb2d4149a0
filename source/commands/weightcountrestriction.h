// The command that limits every point of the selected meshes to four joint influences.
#pragma once

#include "c4d.h"

/// Plug-in id of the weight count restriction command.
constexpr Int32 ID_WEIGHT_COUNT_RESTRICTION = 1039091;
/// Resource string of the command's name.
constexpr Int32 IDS_WEIGHT_COUNT_RESTRICTION_NAME = 10009;

/// Weights below this do not count as an influence, and sums below it are not normalised.
constexpr Float WEIGHT_EPSILON = 1e-10;

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
