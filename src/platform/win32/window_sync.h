// The hand-off of a Windows program: calls queued for the main thread, announced by a
// message posted to a message-only window that the main thread owns. The calls run
// wherever that thread dispatches messages: in its message loop, in a modal box's or a
// dialog's loop, and in serveUntil.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "platform/main_thread_sync.h"

namespace ostrel {

class WindowSync final : public MainThreadSync {
 public:
  /// Creates the window on the calling thread, which becomes the main thread.
  WindowSync();
  /// Destroys the window; calls queued or made afterwards fail with an error instead of
  /// running.
  ~WindowSync() override;
  WindowSync(const WindowSync&) = delete;
  WindowSync& operator=(const WindowSync&) = delete;

  /// Throws std::runtime_error when the main thread takes no calls any more.
  void invoke(const std::function<void()>& fn) override;
  /// Serves the hand-off only: its own posted messages and messages sent to this thread,
  /// never the user's input, so a wait for a worker does not run the user's next click.
  bool serveUntil(const std::function<bool()>& done, int timeoutMs = -1) override;
  void wake() override;
  /// Count of calls run so far.
  long long handled() const;
  /// Calls queued and not yet run.
  size_t queued() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace ostrel
