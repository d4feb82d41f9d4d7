#include "platform/main_thread_sync.h"

#include <chrono>

namespace ostrel {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineOf(int timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
}

}  // namespace

bool DirectSync::serveUntil(const std::function<bool()>& done, int timeoutMs) {
  std::unique_lock lock(mutex_);
  if (timeoutMs < 0) {
    changed_.wait(lock, done);
    return true;
  }
  return changed_.wait_until(lock, deadlineOf(timeoutMs), done);
}

void DirectSync::wake() {
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}

void QueueSync::invoke(const std::function<void()>& fn) {
  Call call{&fn, nullptr, false};
  std::unique_lock lock(mutex_);
  calls_.push_back(&call);
  queued_.notify_all();
  finished_.wait(lock, [&] { return call.done; });
  if (call.error) std::rethrow_exception(call.error);
}

int QueueSync::runQueued(std::unique_lock<std::mutex>& lock) {
  int ran = 0;
  while (!calls_.empty()) {
    Call* call = calls_.front();
    calls_.pop_front();
    lock.unlock();
    try {
      (*call->fn)();
    } catch (...) {
      call->error = std::current_exception();
    }
    lock.lock();
    call->done = true;
    ++handled_;
    ++ran;
    finished_.notify_all();
  }
  return ran;
}

int QueueSync::pump(int timeoutMs) {
  std::unique_lock lock(mutex_);
  if (calls_.empty())
    queued_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !calls_.empty(); });
  return runQueued(lock);
}

bool QueueSync::serveUntil(const std::function<bool()>& done, int timeoutMs) {
  const Clock::time_point deadline = deadlineOf(timeoutMs);
  std::unique_lock lock(mutex_);
  for (;;) {
    runQueued(lock);
    // Checked under the queue's lock: a wake() after this check waits for the lock, so it
    // cannot slip in between the check and the wait below.
    if (done()) return true;
    if (!calls_.empty()) continue;
    if (timeoutMs < 0) {
      queued_.wait(lock);
    } else if (queued_.wait_until(lock, deadline) == std::cv_status::timeout && calls_.empty()) {
      return done();
    }
  }
}

void QueueSync::wake() {
  std::lock_guard lock(mutex_);
  queued_.notify_all();
}

long long QueueSync::handled() const {
  std::lock_guard lock(mutex_);
  return handled_;
}

}  // namespace ostrel
