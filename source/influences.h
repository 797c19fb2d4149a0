// The one rule for which joint influences of a point are the strongest, shared by the export
// (which keeps four per vertex) and the weight count restriction.
#pragma once

#include <cmath>

#include "c4d.h"

/// A weight at or above this counts as an influence; a sum whose size is at or below it is
/// not normalised by.
constexpr Float kInfluenceEpsilon = 1e-10;

/// Whether joint `ja` with weight `wa` ranks before joint `jb` with weight `wb`: larger
/// weights first, a weight that is not a number after every number, equal weights in joint
/// order. A strict total order on distinct joints, so whatever algorithm sorts by it, the
/// same influences survive a cut.
inline bool StrongerInfluence(Float wa, Int32 ja, Float wb, Int32 jb) {
  const bool nanA = std::isnan(wa);
  const bool nanB = std::isnan(wb);
  if (nanA != nanB) return nanB;
  if (!nanA && wa != wb) return wa > wb;
  return ja < jb;
}
