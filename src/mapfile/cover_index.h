// Answers "which entry covers this offset" by bisection, with the same tie-breaks as a
// linear scan of the entries in their list order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrel {

class CoverIndex {
 public:
  /// A half-open range [lo, hi) of offsets (hi may be 2^32) owned by entry `id`.
  struct Range {
    uint64_t lo;
    uint64_t hi;
    int32_t id;
  };

  /// Ranges in priority order: where several cover an offset, the one listed first wins.
  /// Empty ranges (hi <= lo) cover nothing.
  void buildFromRanges(const std::vector<Range>& ranges);
  /// Entry i covers [starts[i], starts[i+1]); the first covering entry wins and the last
  /// entry covers nothing. Starts in any order; ascending ones cost no extra table.
  void buildFromStarts(const std::vector<uint32_t>& starts);
  void clear();

  /// Id of the entry that covers `x`, or -1.
  int32_t find(uint32_t x) const;

 private:
  // Where the keys of each bucket of offsets begin, so that a search bisects a handful of
  // keys instead of the whole table: bucket b holds keys in [base + (b << shift), ...).
  struct Buckets {
    uint64_t base = 0;
    unsigned shift = 0;
    std::vector<uint32_t> first;
  };
  template <typename T>
  static void buildBuckets(const std::vector<T>& keys, Buckets& buckets);
  template <typename T>
  static size_t countNotAbove(const std::vector<T>& keys, const Buckets& buckets, uint64_t x);

  Buckets buckets_;
  // Ascending starts: bisect them directly.
  bool ascending_ = false;
  std::vector<uint32_t> starts_;
  // Otherwise: elementary segments [points_[k], points_[k+1]) and their owners (-1: none).
  std::vector<uint64_t> points_;
  std::vector<int32_t> owners_;
};

}  // namespace ostrel
