// Reading a joint weight tag for the vertices of one object.
#pragma once

#include <vector>

#include "pmx/pmxconvert.h"

/// Picks the four strongest joint influences of points from one weight tag. The tag's joints
/// are resolved once, not for every vertex.
class PmxWeightReader {
 public:
  explicit PmxWeightReader(const CAWeightTag* tag);

  /// Fills the influence slots of `vertex` with the strongest influences of point `p`,
  /// strongest first (equal weights keep joint order), and prints a warning naming the
  /// object when the point has more than four. Answers the number of influences.
  Int32 Gather(const String& objectName, Int64 p, PmxObjectVertex* vertex);

 private:
  const CAWeightTag* tag_;
  std::vector<BaseObject*> joints_;
};
