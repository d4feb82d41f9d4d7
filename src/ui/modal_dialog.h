// The base of the program's own modal dialogs: a standard dialog window (so Tab, Enter and
// Escape work as everywhere) built from an in-memory template, its controls placed at the
// 96-dpi positions of the layout and scaled to the screen.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "ui/ui_common.h"

namespace ostrel::ui {

class ModalDialog {
 public:
  /// The window's caption, style and outer size at 96 dpi; minimum and maximum sizes of
  /// 0 leave the size free in that direction.
  struct Frame {
    std::string caption;
    DWORD style = WS_CAPTION | WS_SYSMENU;
    int width = 0, height = 0;
    int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
    bool centreOnScreen = false;  // rather than over the owner
  };

  virtual ~ModalDialog() = default;
  ModalDialog() = default;
  ModalDialog(const ModalDialog&) = delete;
  ModalDialog& operator=(const ModalDialog&) = delete;

  /// Shows the dialog modally, centred over owner; returns the code given to end().
  INT_PTR showModal(HWND owner);
  HWND handle() const { return window_; }
  HWND item(int id) const { return GetDlgItem(window_, id); }
  const Dpi& dpi() const { return dpi_; }

  /// For tests: called with the window of every dialog of this program once it is shown
  /// and its modal loop runs; tests drive the dialog from there with messages, as a user's
  /// clicks and keys would. An empty function removes the hook.
  static void setShownHook(std::function<void(HWND)> hook);

 protected:
  virtual Frame frame() const = 0;
  /// Creates the controls (the window exists and has its size).
  virtual void onCreate() = 0;
  /// A command from a control or the keyboard (IDOK for Enter, IDCANCEL for Escape and
  /// the close box). True when handled.
  virtual bool onCommand(int id, int code, HWND control) = 0;
  virtual bool onNotify(NMHDR*, LRESULT&) { return false; }
  /// The client area's new size in screen pixels.
  virtual void onSize(int, int) {}
  /// Any other message (WM_CTLCOLORSTATIC, ...): true when handled, with the dialog
  /// procedure's return value in result (for the colour messages, the brush).
  virtual bool onMessage(UINT, WPARAM, LPARAM, INT_PTR&) { return false; }
  /// Ends the modal loop with code.
  void end(INT_PTR code);

 private:
  static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  HWND owner_ = nullptr;
  Dpi dpi_;
};

}  // namespace ostrel::ui
