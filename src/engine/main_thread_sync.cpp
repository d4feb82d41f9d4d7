#include "engine/main_thread_sync.h"

#include <chrono>

namespace ostrel {

void QueueSync::invoke(const std::function<void()>& fn) {
  Call call{&fn, nullptr, false};
  std::unique_lock lock(mutex_);
  calls_.push_back(&call);
  queued_.notify_one();
  finished_.wait(lock, [&] { return call.done; });
  if (call.error) std::rethrow_exception(call.error);
}

int QueueSync::pump(int timeoutMs) {
  std::unique_lock lock(mutex_);
  if (calls_.empty())
    queued_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !calls_.empty(); });
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

long long QueueSync::handled() const {
  std::lock_guard lock(mutex_);
  return handled_;
}

}  // namespace ostrel
