// The synchronous hand-off from a session worker to the main thread, and the main thread's
// side of waiting for a worker: a wait must keep serving the hand-off, because the worker
// may be blocked in one at that moment.
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
  /// Worker side: runs fn on the main thread and blocks until it has run; rethrows in the
  /// caller whatever fn threw.
  virtual void invoke(const std::function<void()>& fn) = 0;
  /// Main thread: serves hand-off calls until done() is true or timeoutMs has passed
  /// (negative: no limit). Returns done(). done() must be cheap and take no lock that a
  /// worker holds while it calls wake().
  virtual bool serveUntil(const std::function<bool()>& done, int timeoutMs = -1) = 0;
  /// Any thread: makes a waiting serveUntil look at its condition again.
  virtual void wake() = 0;
};

/// Runs each call on the calling thread: for front ends whose handlers are thread-safe.
class DirectSync : public MainThreadSync {
 public:
  void invoke(const std::function<void()>& fn) override { fn(); }
  bool serveUntil(const std::function<bool()>& done, int timeoutMs = -1) override;
  void wake() override;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
};

/// A queue that the main thread pumps. invoke() blocks until pump() or serveUntil() has run
/// the call.
class QueueSync : public MainThreadSync {
 public:
  void invoke(const std::function<void()>& fn) override;
  bool serveUntil(const std::function<bool()>& done, int timeoutMs = -1) override;
  void wake() override;
  /// Runs every queued call; waits up to timeoutMs for the first one. Returns the number
  /// of calls run.
  int pump(int timeoutMs);
  /// Count of calls run so far.
  long long handled() const;

 private:
  struct Call {
    const std::function<void()>* fn;
    std::exception_ptr error;
    bool done = false;
  };
  /// Runs the queued calls; lock is held on entry and exit, released around each call.
  int runQueued(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<Call*> calls_;
  long long handled_ = 0;
};

}  // namespace ostrel
