// A search structure built from its owner's data on first need, and again after the data
// changed, while several threads may be reading the owner at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace ostrel {

/// Holds a T built for one edit count of its owner. Any number of threads may call get()
/// at once: the first to find the value stale builds it under a lock, the others wait for
/// it and then share it. Edits of the owner must not overlap with get().
template <typename T>
class LazyBuilt {
 public:
  LazyBuilt() = default;
  // The value describes the data of the object it was built for: a copy or a moved-to
  // object starts unbuilt, and so does the moved-from one, whose data went away.
  LazyBuilt(const LazyBuilt&) noexcept {}
  LazyBuilt(LazyBuilt&& other) noexcept { other.reset(); }
  LazyBuilt& operator=(const LazyBuilt&) noexcept {
    reset();
    return *this;
  }
  LazyBuilt& operator=(LazyBuilt&& other) noexcept {
    reset();
    other.reset();
    return *this;
  }

  /// Drops the built state; the next get() builds again.
  void reset() noexcept { builtFor_.store(kNever, std::memory_order_relaxed); }

  /// The value for `edits`, built first with build(T&) when it was built for another count
  /// or never. When build throws, the exception passes on and the value stays stale.
  template <typename Build>
  const T& get(uint64_t edits, Build&& build) const {
    if (builtFor_.load(std::memory_order_acquire) != edits) rebuild(edits, build);
    return value_;
  }

 private:
  // Kept out of get() so that the check, on every lookup, stays small enough to inline.
  template <typename Build>
  [[gnu::noinline]] void rebuild(uint64_t edits, Build& build) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (builtFor_.load(std::memory_order_relaxed) != edits) {
      build(value_);
      builtFor_.store(edits, std::memory_order_release);
    }
  }

  static constexpr uint64_t kNever = ~uint64_t{0};  // an edit count never gets this far

  mutable std::mutex mutex_;
  mutable T value_{};
  mutable std::atomic<uint64_t> builtFor_{kNever};
};

}  // namespace ostrel
