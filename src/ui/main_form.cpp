#include "ui/main_form.h"

namespace ostrel::ui {

namespace {
constexpr char kClassName[] = "TostrelForm";
}

TostrelForm::TostrelForm() = default;

TostrelForm::~TostrelForm() {
  if (window_ != nullptr) DestroyWindow(window_);
}

bool TostrelForm::create() {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  if (!GetClassInfoExA(instance, kClassName, &wc)) {
    wc = WNDCLASSEXA{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &TostrelForm::windowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    RegisterClassExA(&wc);
  }
  dpi_ = screenDpi();
  window_ =
      CreateWindowExA(0, kClassName, "Ostrel", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT,
                      CW_USEDEFAULT, dpi_(800), dpi_(642), nullptr, nullptr, instance, this);
  if (window_ == nullptr) return false;
  centreWindow(window_, nullptr);
  return true;
}

void TostrelForm::show(int showCommand) {
  ShowWindow(window_, showCommand);
  UpdateWindow(window_);
}

LRESULT CALLBACK TostrelForm::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    auto* self = static_cast<TostrelForm*>(create->lpCreateParams);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
  }
  auto* self = reinterpret_cast<TostrelForm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  return self->handle(message, wParam, lParam);
}

LRESULT TostrelForm::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
      window_ = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window_, message, wParam, lParam);
  }
}

}  // namespace ostrel::ui
