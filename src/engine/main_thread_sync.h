// The synchronous hand-off from a session worker to the main thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>

namespace ostrel {

class MainThreadSync {
 public:
  virtual ~MainThreadSync() = default;
  /// Runs fn on the main thread and blocks until it has run; rethrows in the caller
  /// whatever fn threw.
  virtual void invoke(const std::function<void()>& fn) = 0;
};

/// Runs the call on the calling thread: for front ends whose handlers are thread-safe.
class DirectSync : public MainThreadSync {
 public:
  void invoke(const std::function<void()>& fn) override { fn(); }
};

/// A queue that the main thread pumps. invoke() blocks until pump() has run the call.
class QueueSync : public MainThreadSync {
 public:
  void invoke(const std::function<void()>& fn) override;
  /// Runs every queued call; waits up to timeoutMs for the first one. Returns the
  /// number of calls run.
  int pump(int timeoutMs);
  /// Count of calls run so far.
  long long handled() const;

 private:
  struct Call {
    const std::function<void()>* fn;
    std::exception_ptr error;
    bool done = false;
  };
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<Call*> calls_;
  long long handled_ = 0;
};

}  // namespace ostrel
