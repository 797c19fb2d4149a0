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
  /// strongest first (equal weights keep joint order). Answers the number of influences; more
  /// than four are warned of with WarnTooMany. Reads only, so threads may share a reader.
  Int32 Gather(Int64 p, PmxObjectVertex* vertex) const;
  /// The console warning for point `p` of `objectName`, which has `count` influences.
  static void WarnTooMany(const String& objectName, Int64 p, Int32 count);

 private:
  const CAWeightTag* tag_;
  std::vector<BaseObject*> joints_;
};
