#include "c4d_baseselect.h"

#include <algorithm>

Bool BaseSelect::IsSelected(Int32 num) const {
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), std::make_pair(num, INT32_MAX));
  if (it == ranges_.begin()) return false;
  --it;
  return num >= it->first && num <= it->second;
}

Bool BaseSelect::SelectAll(Int32 min, Int32 max) {
  if (min > max || min < 0) return false;
  // Merge [min, max] with every range it touches or adjoins.
  auto first = std::lower_bound(ranges_.begin(), ranges_.end(), min,
                                [](const std::pair<Int32, Int32>& r, Int32 v) {
                                  return static_cast<Int64>(r.second) + 1 < v;
                                });
  auto last = first;
  Int32 lo = min, hi = max;
  while (last != ranges_.end() && static_cast<Int64>(last->first) <= static_cast<Int64>(max) + 1) {
    lo = std::min(lo, last->first);
    hi = std::max(hi, last->second);
    ++last;
  }
  first = ranges_.erase(first, last);
  ranges_.insert(first, {lo, hi});
  return true;
}

Bool BaseSelect::Select(Int32 num) { return SelectAll(num, num); }

Bool BaseSelect::Deselect(Int32 num) {
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), std::make_pair(num, INT32_MAX));
  if (it == ranges_.begin()) return true;
  --it;
  if (num < it->first || num > it->second) return true;
  auto [lo, hi] = *it;
  it = ranges_.erase(it);
  if (num < hi) it = ranges_.insert(it, {num + 1, hi});
  if (lo < num) ranges_.insert(it, {lo, num - 1});
  return true;
}

Bool BaseSelect::DeselectAll() {
  ranges_.clear();
  return true;
}

Bool BaseSelect::Toggle(Int32 num) { return IsSelected(num) ? Deselect(num) : Select(num); }

Int32 BaseSelect::GetCount() const {
  Int64 n = 0;
  for (auto& r : ranges_) n += static_cast<Int64>(r.second) - r.first + 1;
  return static_cast<Int32>(n);
}

Bool BaseSelect::GetRange(Int32 seg, Int32 maxElements, Int32* a, Int32* b) const {
  if (seg < 0 || seg >= GetSegments()) return false;
  const auto& r = ranges_[static_cast<size_t>(seg)];
  if (r.first >= maxElements) return false;
  *a = r.first;
  *b = std::min(r.second, maxElements - 1);
  return true;
}
