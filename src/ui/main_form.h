// TostrelForm: the main window.
#pragma once

#include <windows.h>

#include "ui/ui_common.h"

namespace ostrel::ui {

class TostrelForm {
 public:
  TostrelForm();
  ~TostrelForm();
  TostrelForm(const TostrelForm&) = delete;
  TostrelForm& operator=(const TostrelForm&) = delete;

  /// Creates the window (hidden).
  bool create();
  void show(int showCommand);
  HWND handle() const { return window_; }

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  Dpi dpi_;
};

}  // namespace ostrel::ui
