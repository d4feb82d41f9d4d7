#include "platform/win32/window_sync.h"

#include <windows.h>

#include <exception>
#include <stdexcept>

namespace ostrel {

namespace {

constexpr UINT kInvokeMessage = WM_APP + 1;
constexpr char kClassName[] = "OstrelHandOff";

struct Call {
  const std::function<void()>* fn;
  std::exception_ptr error;
  bool ran = false;
};

// The window's user data points to the count of calls run.
LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kInvokeMessage) {
    auto* call = reinterpret_cast<Call*>(lParam);
    call->ran = true;
    try {
      (*call->fn)();
    } catch (...) {
      call->error = std::current_exception();
    }
    auto* handled =
        reinterpret_cast<std::atomic<long long>*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (handled != nullptr) handled->fetch_add(1);
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

WindowSync::WindowSync() {
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
  SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&handled_));
  window_ = hwnd;
  wakeEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

WindowSync::~WindowSync() {
  HWND hwnd = static_cast<HWND>(window_);
  SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  DestroyWindow(hwnd);
  if (wakeEvent_ != nullptr) CloseHandle(static_cast<HANDLE>(wakeEvent_));
}

void WindowSync::invoke(const std::function<void()>& fn) {
  Call call{&fn, nullptr, false};
  SendMessageA(static_cast<HWND>(window_), kInvokeMessage, 0, reinterpret_cast<LPARAM>(&call));
  if (!call.ran) throw std::runtime_error("The main thread takes no notifications any more");
  if (call.error) std::rethrow_exception(call.error);
}

bool WindowSync::serveUntil(const std::function<bool()>& done, int timeoutMs) {
  const DWORD start = GetTickCount();
  HANDLE event = static_cast<HANDLE>(wakeEvent_);
  for (;;) {
    // Runs every call sent to this thread so far; takes nothing from the posted queue.
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    if (done()) return true;
    DWORD wait = INFINITE;
    if (timeoutMs >= 0) {
      const DWORD elapsed = GetTickCount() - start;
      if (elapsed >= static_cast<DWORD>(timeoutMs)) return done();
      wait = static_cast<DWORD>(timeoutMs) - elapsed;
    }
    MsgWaitForMultipleObjectsEx(1, &event, wait, QS_SENDMESSAGE, 0);
  }
}

void WindowSync::wake() { SetEvent(static_cast<HANDLE>(wakeEvent_)); }

}  // namespace ostrel
