#include "mapfile/address_table.h"

#include <stdexcept>

namespace ostrel {

void AddressTable::clear() noexcept {
  // Swapping with empty vectors hands the memory back.
  std::vector<uint32_t>().swap(starts_);
  std::vector<Slot>().swap(slots_);
  std::vector<uint32_t>().swap(bucketSlot_);
  std::string().swap(unitNames_);
  std::vector<size_t>().swap(unitNameAt_);
  shift_ = 0;
}

void AddressTable::assign(std::vector<uint32_t> starts, std::vector<Slot> slots,
                          const std::vector<std::string_view>& unitNames) {
  clear();
  if (starts.empty() || starts.front() != 0 || starts.size() != slots.size())
    throw std::invalid_argument("address table: one start per slot, the first at 0");
  if (starts.size() >= 0xFFFFFFFFu) throw std::length_error("address table: too many slots");
  for (size_t i = 1; i < starts.size(); ++i)
    if (starts[i] <= starts[i - 1]) throw std::invalid_argument("address table: starts must ascend");
  size_t nameBytes = 0;
  for (std::string_view name : unitNames) nameBytes += name.size();
  unitNames_.reserve(nameBytes);
  unitNameAt_.reserve(unitNames.size() + 1);
  for (std::string_view name : unitNames) {
    unitNameAt_.push_back(unitNames_.size());
    unitNames_.append(name);
  }
  unitNameAt_.push_back(unitNames_.size());
  starts_ = std::move(starts);
  slots_ = std::move(slots);

  // About one bucket per eight slots over the span of the starts: the buckets then stay
  // small enough to sit in cache, and the starts of one bucket share a cache line.
  const uint64_t last = starts_.back();
  while ((last >> shift_) > starts_.size() / 8) ++shift_;
  const size_t buckets = static_cast<size_t>(last >> shift_) + 2;
  bucketSlot_.resize(buckets);
  size_t k = 0;
  for (size_t b = 0; b < buckets; ++b) {
    const uint64_t from = static_cast<uint64_t>(b) << shift_;
    while (k + 1 < starts_.size() && starts_[k + 1] <= from) ++k;
    bucketSlot_[b] = static_cast<uint32_t>(k);
  }
}

}  // namespace ostrel
