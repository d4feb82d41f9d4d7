// A handle the program owns: closed through the platform when its owner lets it go.
#pragma once

#include <utility>

#include "platform/debug_platform.h"

namespace ostrel {

class OwnedHandle {
 public:
  OwnedHandle() = default;
  OwnedHandle(DebugPlatform& platform, Handle handle) : platform_(&platform), handle_(handle) {}
  ~OwnedHandle() { reset(); }
  OwnedHandle(OwnedHandle&& other) noexcept
      : platform_(other.platform_), handle_(std::exchange(other.handle_, 0)) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      reset();
      platform_ = other.platform_;
      handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != 0; }
  /// Gives the handle up without closing it.
  Handle release() { return std::exchange(handle_, 0); }
  /// Closes the handle held (if any).
  void reset() {
    if (handle_ != 0 && platform_ != nullptr) platform_->closeHandle(handle_);
    handle_ = 0;
  }

 private:
  DebugPlatform* platform_ = nullptr;
  Handle handle_ = 0;
};

}  // namespace ostrel
