// One sorted table of offset -> (unit, routine, line) answers, so that a lookup costs a
// single search instead of one per table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

class AddressTable {
 public:
  static constexpr uint32_t kNoUnit = (1u << 31) - 1;
  static constexpr uint32_t kNoRoutine = 0xFFFFFFFFu;

  /// The answer for the offsets from the slot's start up to the next start. Indexes, not
  /// pointers: a big map has millions of slots, and twelve bytes each halve the table.
  struct Slot {
    uint32_t unit : 31;    // kNoUnit: no unit covers these offsets
    uint32_t hasLine : 1;  // lineNumber is valid
    int32_t lineNumber;
    uint32_t routine;  // index of the routine entry; kNoRoutine: no routine
  };

  AddressTable() = default;
  // The slots point into the tables they were built from, so a copy or a moved-to table
  // starts empty and is built again from its own map's tables.
  AddressTable(const AddressTable&) noexcept {}
  AddressTable& operator=(const AddressTable&) noexcept {
    clear();
    return *this;
  }

  /// Takes the slots and their starts, strictly ascending, the first at 0, and copies the
  /// names of the units the slots refer to.
  void assign(std::vector<uint32_t> starts, std::vector<Slot> slots,
              const std::vector<std::string_view>& unitNames = {});
  void clear() noexcept;
  bool empty() const { return slots_.empty(); }
  size_t size() const { return slots_.size(); }

  /// The slot that holds `x`; the table must not be empty.
  const Slot& find(uint32_t x) const {
    const size_t b = static_cast<size_t>(uint64_t{x} >> shift_);  // shift_ may be 32
    // At or past the last start. (b + 1 would wrap for the top offset where size_t has
    // 32 bits; there are always at least two buckets.)
    if (b >= bucketSlot_.size() - 1) return slots_.back();
    // The answer lies between the slots holding this bucket's first offset and the
    // next's: fetch those slots while the starts are searched.
    const size_t first = bucketSlot_[b];
    const size_t last = bucketSlot_[b + 1];
    __builtin_prefetch(&slots_[first]);
    __builtin_prefetch(&slots_[(first + last) / 2]);
    __builtin_prefetch(&slots_[last]);
    const uint32_t* base = starts_.data() + first;
    size_t n = last - first + 1;
    while (n > 1) {
      const size_t half = n / 2;
      base = base[half] <= x ? base + half : base;
      n -= half;
    }
    return slots_[static_cast<size_t>(base - starts_.data())];
  }

  /// Name of unit entry i, as given to assign().
  std::string_view unitName(size_t i) const {
    return std::string_view(unitNames_).substr(unitNameAt_[i], unitNameAt_[i + 1] - unitNameAt_[i]);
  }

 private:
  std::vector<uint32_t> starts_;
  std::vector<Slot> slots_;
  // Bucket b spans the offsets [b << shift_, (b + 1) << shift_); bucketSlot_[b] is the slot
  // holding its first offset, so a search only bisects the few slots of one bucket.
  unsigned shift_ = 0;
  std::vector<uint32_t> bucketSlot_;
  // The unit names side by side: few enough to stay in cache, unlike the unit entries.
  std::string unitNames_;
  std::vector<size_t> unitNameAt_;  // name i is [unitNameAt_[i], unitNameAt_[i + 1])
};

}  // namespace ostrel
