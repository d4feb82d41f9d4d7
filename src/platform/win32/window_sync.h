// The hand-off of a Windows program: a message-only window owned by the main thread,
// reached with SendMessage. The calls run wherever that thread takes sent messages: in its
// message loop, in a modal box's or dialog's loop, and in serveUntil.
#pragma once

#include <atomic>
#include <functional>

#include "platform/main_thread_sync.h"

namespace ostrel {

class WindowSync final : public MainThreadSync {
 public:
  /// Creates the window on the calling thread, which becomes the main thread.
  WindowSync();
  /// Destroys the window; a worker that sends to it afterwards gets an error instead of a
  /// call.
  ~WindowSync() override;
  WindowSync(const WindowSync&) = delete;
  WindowSync& operator=(const WindowSync&) = delete;

  /// Throws std::runtime_error when the window is gone (nothing ran).
  void invoke(const std::function<void()>& fn) override;
  /// Serves sent messages only (the hand-off), never posted or input messages, so a wait
  /// for a worker does not run the user's next click.
  bool serveUntil(const std::function<bool()>& done, int timeoutMs = -1) override;
  void wake() override;
  /// Count of calls run so far.
  long long handled() const { return handled_.load(); }

 private:
  void* window_ = nullptr;     // HWND
  void* wakeEvent_ = nullptr;  // HANDLE, auto-reset
  std::atomic<long long> handled_{0};
};

}  // namespace ostrel
