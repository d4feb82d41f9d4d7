// Why a posted message and a condition variable rather than SendMessage: under Wine every
// message call is a round trip to its server, and a sent message costs several more of them
// than a posted one, while the wait for the call's end needs none (the condition variable
// waits in user space). A posted message reaches the window from modal loops as well.
#include "platform/win32/window_sync.h"

#include <windows.h>

#include <deque>
#include <exception>
#include <stdexcept>

namespace ostrel {

namespace {

constexpr UINT kCallsQueued = WM_APP + 1;
constexpr char kClassName[] = "OstrelHandOff";

struct Call {
  const std::function<void()>* fn;
  std::exception_ptr error;
  bool ran = false;
  bool done = false;
};

}  // namespace

struct WindowSync::State {
  HWND window = nullptr;
  HANDLE wakeEvent = nullptr;  // auto-reset
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE finished = CONDITION_VARIABLE_INIT;
  std::deque<Call*> queued;  // guarded by lock
  bool closed = false;       // guarded by lock
  int inside = 0;            // invoke() calls in progress, guarded by lock
  std::atomic<long long> handled{0};

  // Main thread: runs every queued call.
  void runQueued() {
    for (;;) {
      AcquireSRWLockExclusive(&lock);
      if (queued.empty()) {
        ReleaseSRWLockExclusive(&lock);
        return;
      }
      Call* call = queued.front();
      queued.pop_front();
      ReleaseSRWLockExclusive(&lock);
      call->ran = true;
      try {
        (*call->fn)();
      } catch (...) {
        call->error = std::current_exception();
      }
      handled.fetch_add(1);
      AcquireSRWLockExclusive(&lock);
      call->done = true;
      ReleaseSRWLockExclusive(&lock);
      WakeAllConditionVariable(&finished);
    }
  }

  // Main thread: the window is going; calls still queued end without running, and the
  // state outlives every invoke() still on its way out.
  void close() {
    AcquireSRWLockExclusive(&lock);
    closed = true;
    for (Call* call : queued) call->done = true;
    queued.clear();
    WakeAllConditionVariable(&finished);
    while (inside > 0) SleepConditionVariableSRW(&finished, &lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&lock);
  }
};

namespace {

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kCallsQueued) {
    auto* state = reinterpret_cast<WindowSync::State*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (state != nullptr) state->runQueued();
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

WindowSync::WindowSync() : state_(std::make_unique<State>()) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  if (!GetClassInfoExA(instance, kClassName, &wc)) {
    wc = WNDCLASSEXA{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kClassName;
    RegisterClassExA(&wc);
  }
  HWND hwnd =
      CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  if (hwnd == nullptr) throw std::runtime_error("Cannot create the hand-off window");
  SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state_.get()));
  state_->window = hwnd;
  state_->wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

WindowSync::~WindowSync() {
  state_->close();
  SetWindowLongPtrA(state_->window, GWLP_USERDATA, 0);
  DestroyWindow(state_->window);
  if (state_->wakeEvent != nullptr) CloseHandle(state_->wakeEvent);
}

void WindowSync::invoke(const std::function<void()>& fn) {
  State& s = *state_;
  Call call{&fn, nullptr, false, false};
  AcquireSRWLockExclusive(&s.lock);
  if (s.closed) {
    ReleaseSRWLockExclusive(&s.lock);
    throw std::runtime_error("The main thread takes no notifications any more");
  }
  s.queued.push_back(&call);
  ++s.inside;
  ReleaseSRWLockExclusive(&s.lock);
  if (!PostMessageA(s.window, kCallsQueued, 0, 0)) {
    // The queue is full or the window is gone: take the call back unless it ran meanwhile.
    AcquireSRWLockExclusive(&s.lock);
    for (auto it = s.queued.begin(); it != s.queued.end(); ++it)
      if (*it == &call) {
        s.queued.erase(it);
        call.done = true;
        break;
      }
    ReleaseSRWLockExclusive(&s.lock);
  }
  AcquireSRWLockExclusive(&s.lock);
  while (!call.done) SleepConditionVariableSRW(&s.finished, &s.lock, INFINITE, 0);
  --s.inside;
  ReleaseSRWLockExclusive(&s.lock);
  WakeAllConditionVariable(&s.finished);  // close() may wait for the last one to leave
  if (!call.ran) throw std::runtime_error("The main thread takes no notifications any more");
  if (call.error) std::rethrow_exception(call.error);
}

bool WindowSync::serveUntil(const std::function<bool()>& done, int timeoutMs) {
  State& s = *state_;
  const DWORD start = GetTickCount();
  for (;;) {
    // The announcements of queued calls are taken from the posted queue and dispatched;
    // any other posted message stays for the message loop. PeekMessage also runs the
    // messages sent to this thread.
    MSG msg;
    while (PeekMessageA(&msg, s.window, kCallsQueued, kCallsQueued, PM_REMOVE))
      DispatchMessageA(&msg);
    if (done()) return true;
    DWORD wait = INFINITE;
    if (timeoutMs >= 0) {
      const DWORD elapsed = GetTickCount() - start;
      if (elapsed >= static_cast<DWORD>(timeoutMs)) return done();
      wait = static_cast<DWORD>(timeoutMs) - elapsed;
    }
    MsgWaitForMultipleObjectsEx(1, &s.wakeEvent, wait, QS_POSTMESSAGE | QS_SENDMESSAGE, 0);
  }
}

void WindowSync::wake() { SetEvent(state_->wakeEvent); }

long long WindowSync::handled() const { return state_->handled.load(); }

size_t WindowSync::queued() const {
  AcquireSRWLockShared(&state_->lock);
  const size_t count = state_->queued.size();
  ReleaseSRWLockShared(&state_->lock);
  return count;
}

}  // namespace ostrel
