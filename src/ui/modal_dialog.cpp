#include "ui/modal_dialog.h"

#include <algorithm>
#include <vector>

namespace ostrel::ui {

namespace {

constexpr UINT kShownMessage = WM_APP + 50;

std::function<void(HWND)>& shownHook() {
  static std::function<void(HWND)> hook;
  return hook;
}

void appendText(std::vector<WORD>& words, const std::string& text) {
  // The captions are ASCII; each character becomes one UTF-16 unit.
  for (unsigned char c : text) words.push_back(c);
  words.push_back(0);
}

// A dialog template without items: the size is set and the controls are made in
// WM_INITDIALOG, in pixels.
std::vector<WORD> emptyTemplate(const ModalDialog::Frame& frame) {
  std::vector<WORD> words;
  // Visible: the dialog shows right after WM_INITDIALOG, before its loop handles any
  // posted message (the shown hook's included), not only once the queue runs dry.
  const DWORD style = frame.style | WS_POPUP | WS_VISIBLE | DS_SETFONT | DS_MODALFRAME;
  words.push_back(LOWORD(style));
  words.push_back(HIWORD(style));
  words.push_back(0);  // extended style
  words.push_back(0);
  words.push_back(0);  // no items
  words.push_back(0);  // x, y, cx, cy
  words.push_back(0);
  words.push_back(0);
  words.push_back(0);
  words.push_back(0);  // no menu
  words.push_back(0);  // the standard dialog class
  appendText(words, frame.caption);
  words.push_back(8);  // point size
  appendText(words, "MS Sans Serif");
  return words;
}

}  // namespace

void ModalDialog::setShownHook(std::function<void(HWND)> hook) { shownHook() = std::move(hook); }

INT_PTR ModalDialog::showModal(HWND owner) {
  owner_ = owner;
  dpi_ = screenDpi();
  const std::vector<WORD> dialogTemplate = emptyTemplate(frame());
  return DialogBoxIndirectParamA(GetModuleHandleA(nullptr),
                                 reinterpret_cast<LPCDLGTEMPLATEA>(dialogTemplate.data()), owner,
                                 &ModalDialog::dialogProc, reinterpret_cast<LPARAM>(this));
}

void ModalDialog::end(INT_PTR code) { EndDialog(window_, code); }

INT_PTR CALLBACK ModalDialog::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<ModalDialog*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
  }
  auto* self = reinterpret_cast<ModalDialog*>(GetWindowLongPtrA(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  return guarded(
      window, [&] { return self->handle(message, wParam, lParam); }, [] { return INT_PTR(FALSE); });
}

INT_PTR ModalDialog::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      const Frame f = frame();
      SetWindowPos(window_, nullptr, 0, 0, dpi_(f.width), dpi_(f.height),
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      onCreate();
      centreWindow(window_, f.centreOnScreen ? nullptr : owner_);
      PostMessageA(window_, kShownMessage, 0, 0);
      return TRUE;  // the system focuses the first tab stop
    }
    case kShownMessage:
      if (shownHook()) shownHook()(window_);
      return TRUE;
    case WM_COMMAND:
      return onCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam)) ? TRUE
                                                                                       : FALSE;
    case WM_NOTIFY: {
      LRESULT result = 0;
      if (!onNotify(reinterpret_cast<NMHDR*>(lParam), result)) return FALSE;
      SetWindowLongPtrA(window_, DWLP_MSGRESULT, result);
      return TRUE;
    }
    case WM_SIZE:
      onSize(LOWORD(lParam), HIWORD(lParam));
      return TRUE;
    case WM_GETMINMAXINFO: {
      const Frame f = frame();
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      if (f.minWidth > 0) info->ptMinTrackSize.x = dpi_(f.minWidth);
      if (f.minHeight > 0) info->ptMinTrackSize.y = dpi_(f.minHeight);
      if (f.maxWidth > 0) info->ptMaxTrackSize.x = dpi_(f.maxWidth);
      if (f.maxHeight > 0) info->ptMaxTrackSize.y = dpi_(f.maxHeight);
      // A maximized window keeps to the maximum size as well.
      info->ptMaxSize.x = std::min(info->ptMaxSize.x, info->ptMaxTrackSize.x);
      info->ptMaxSize.y = std::min(info->ptMaxSize.y, info->ptMaxTrackSize.y);
      return TRUE;
    }
    default: {
      INT_PTR result = FALSE;
      return onMessage(message, wParam, lParam, result) ? result : FALSE;
    }
  }
}

}  // namespace ostrel::ui
