#include "ui/splitter.h"

#include <windowsx.h>

#include "ui/ui_common.h"

namespace ostrel::ui {

namespace {
constexpr char kClassName[] = "OstrelSplitter";
}

void Splitter::create(HWND parent, int id, Direction direction) {
  direction_ = direction;
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  if (!GetClassInfoExA(instance, kClassName, &wc)) {
    wc = WNDCLASSEXA{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Splitter::windowProc;
    wc.hInstance = instance;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    RegisterClassExA(&wc);
  }
  window_ = CreateWindowExA(0, kClassName, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, this);
}

LRESULT CALLBACK Splitter::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<Splitter*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
  }
  auto* self = reinterpret_cast<Splitter*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  return guardedWindowProc(window, message, wParam, lParam,
                           [&] { return self->handle(message, wParam, lParam); });
}

LRESULT Splitter::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  const bool vertical = direction_ == Direction::Vertical;
  switch (message) {
    case WM_SETCURSOR:
      SetCursor(LoadCursor(nullptr, vertical ? IDC_SIZEWE : IDC_SIZENS));
      return TRUE;
    case WM_LBUTTONDOWN:
      grab_ = vertical ? GET_X_LPARAM(lParam) : GET_Y_LPARAM(lParam);
      dragging_ = true;
      SetCapture(window_);
      return 0;
    case WM_MOUSEMOVE:
      if (dragging_) {
        POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        MapWindowPoints(window_, GetParent(window_), &p, 1);
        position_ = (vertical ? p.x : p.y) - grab_;
        SendMessageA(GetParent(window_), WM_COMMAND,
                     MAKEWPARAM(GetDlgCtrlID(window_), kSplitterMoved),
                     reinterpret_cast<LPARAM>(window_));
      }
      return 0;
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
      if (dragging_) {
        dragging_ = false;
        if (message == WM_LBUTTONUP) ReleaseCapture();
      }
      return 0;
    case WM_NCDESTROY: {
      HWND window = window_;
      SetWindowLongPtrA(window, GWLP_USERDATA, 0);
      window_ = nullptr;
      return DefWindowProcA(window, message, wParam, lParam);
    }
    default:
      return DefWindowProcA(window_, message, wParam, lParam);
  }
}

}  // namespace ostrel::ui
