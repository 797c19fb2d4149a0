// A selection of element indices (points, polygons or edges) kept as ranges.
#pragma once

#include <vector>

#include "ge_math.h"

class BaseSelect {
 public:
  static BaseSelect* Alloc() { return new BaseSelect; }
  static void Free(BaseSelect*& s) {
    delete s;
    s = nullptr;
  }

  Bool Select(Int32 num);
  Bool SelectAll(Int32 min, Int32 max);
  Bool Deselect(Int32 num);
  Bool DeselectAll();
  Bool Toggle(Int32 num);
  Bool IsSelected(Int32 num) const;
  Int32 GetCount() const;
  Int32 GetSegments() const { return static_cast<Int32>(ranges_.size()); }
  /// The `seg`-th range [a, b] clipped to elements below `maxElements`; false after the last.
  Bool GetRange(Int32 seg, Int32 maxElements, Int32* a, Int32* b) const;
  Bool CopyTo(BaseSelect* dest) const {
    dest->ranges_ = ranges_;
    return true;
  }
  BaseSelect* GetClone() const { return new BaseSelect(*this); }
  bool operator==(const BaseSelect& o) const { return ranges_ == o.ranges_; }

 private:
  // Sorted, disjoint, non-adjacent inclusive ranges.
  std::vector<std::pair<Int32, Int32>> ranges_;
};
