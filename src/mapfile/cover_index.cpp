#include "mapfile/cover_index.h"

#include <algorithm>

namespace ostrel {

namespace {

// Number of elements <= x in keys[from, to), ascending, without unpredictable branches.
template <typename T>
size_t countNotAboveIn(const T* keys, size_t from, size_t to, uint64_t x) {
  const T* base = keys + from;
  size_t n = to - from;
  if (n == 0) return from;
  while (n > 1) {
    size_t half = n / 2;
    base = (static_cast<uint64_t>(base[half - 1]) <= x) ? base + half : base;
    n -= half;
  }
  return static_cast<size_t>(base - keys) + (static_cast<uint64_t>(*base) <= x ? 1 : 0);
}

}  // namespace

template <typename T>
void CoverIndex::buildBuckets(const std::vector<T>& keys, Buckets& buckets) {
  buckets.first.clear();
  if (keys.empty()) return;
  buckets.base = keys.front();
  const uint64_t span = static_cast<uint64_t>(keys.back()) - buckets.base;
  // About one bucket per key.
  buckets.shift = 0;
  while ((span >> buckets.shift) > keys.size()) ++buckets.shift;
  const size_t count = static_cast<size_t>(span >> buckets.shift) + 2;
  buckets.first.resize(count);
  size_t k = 0;
  for (size_t b = 0; b < count; ++b) {
    const uint64_t from = buckets.base + (static_cast<uint64_t>(b) << buckets.shift);
    while (k < keys.size() && static_cast<uint64_t>(keys[k]) < from) ++k;
    buckets.first[b] = static_cast<uint32_t>(k);
  }
}

template <typename T>
size_t CoverIndex::countNotAbove(const std::vector<T>& keys, const Buckets& buckets, uint64_t x) {
  if (keys.empty() || x < buckets.base) return 0;
  const uint64_t b = (x - buckets.base) >> buckets.shift;
  if (b + 1 >= buckets.first.size()) return keys.size();
  // Keys below the bucket are all <= x; those from the next bucket on are all > x.
  return countNotAboveIn(keys.data(), buckets.first[b], buckets.first[b + 1], x);
}

void CoverIndex::clear() {
  ascending_ = false;
  buckets_.first.clear();
  starts_.clear();
  points_.clear();
  owners_.clear();
}

void CoverIndex::buildFromRanges(const std::vector<Range>& ranges) {
  clear();
  std::vector<uint64_t> points;
  points.reserve(ranges.size() * 2);
  for (const Range& r : ranges) {
    if (r.hi <= r.lo) continue;
    points.push_back(r.lo);
    points.push_back(r.hi);
  }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  if (points.size() < 2) return;

  // Paint the segments in priority order; each segment keeps its first painter. `next`
  // jumps over painted segments so every segment is painted once.
  const size_t segments = points.size() - 1;
  std::vector<int32_t> owners(segments, -1);
  std::vector<uint32_t> next(segments + 1);
  for (size_t k = 0; k <= segments; ++k) next[k] = static_cast<uint32_t>(k);
  auto findFree = [&next](size_t k) {
    size_t root = k;
    while (next[root] != root) root = next[root];
    while (next[k] != root) {
      size_t up = next[k];
      next[k] = static_cast<uint32_t>(root);
      k = up;
    }
    return root;
  };
  for (const Range& r : ranges) {
    if (r.hi <= r.lo) continue;
    size_t a = static_cast<size_t>(std::lower_bound(points.begin(), points.end(), r.lo) - points.begin());
    size_t b = static_cast<size_t>(std::lower_bound(points.begin(), points.end(), r.hi) - points.begin());
    for (size_t k = findFree(a); k < b; k = findFree(k + 1)) {
      owners[k] = r.id;
      next[k] = static_cast<uint32_t>(k + 1);
    }
  }

  // Merge neighbours with the same owner.
  points_.reserve(points.size());
  owners_.reserve(segments);
  for (size_t k = 0; k < segments; ++k) {
    if (!owners_.empty() && owners_.back() == owners[k]) continue;
    points_.push_back(points[k]);
    owners_.push_back(owners[k]);
  }
  points_.push_back(points[segments]);
  buildBuckets(points_, buckets_);
}

void CoverIndex::buildFromStarts(const std::vector<uint32_t>& starts) {
  clear();
  if (std::is_sorted(starts.begin(), starts.end())) {
    ascending_ = true;
    starts_ = starts;
    buildBuckets(starts_, buckets_);
    return;
  }
  std::vector<Range> ranges;
  ranges.reserve(starts.size());
  for (size_t i = 0; i + 1 < starts.size(); ++i)
    ranges.push_back({starts[i], starts[i + 1], static_cast<int32_t>(i)});
  buildFromRanges(ranges);
}

int32_t CoverIndex::find(uint32_t x) const {
  if (ascending_) {
    // The last start <= x; with equal starts that is the last of them, and the earlier
    // ones cover nothing since their successor starts at the same offset.
    size_t n = countNotAbove(starts_, buckets_, x);
    if (n == 0 || n >= starts_.size()) return -1;
    return static_cast<int32_t>(n - 1);
  }
  size_t n = countNotAbove(points_, buckets_, x);
  if (n == 0 || n > owners_.size()) return -1;
  return owners_[n - 1];
}

}  // namespace ostrel
