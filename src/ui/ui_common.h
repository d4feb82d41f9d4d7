// Small helpers of every window: sizes given at 96 dots per inch scaled to the screen,
// the dialog font, standard controls created with it, list view columns, window texts.
#pragma once

#include <windows.h>

#include <string>
#include <type_traits>
#include <utility>

namespace ostrel::ui {

/// Pixel sizes at 96 dots per inch, scaled to the screen's resolution.
class Dpi {
 public:
  explicit Dpi(int dotsPerInch = 96) : value_(dotsPerInch > 0 ? dotsPerInch : 96) {}
  int operator()(int px) const { return MulDiv(px, value_, 96); }
  /// Back from screen pixels to 96-dpi pixels.
  int unscale(int px) const { return MulDiv(px, 96, value_); }
  int value() const { return value_; }

 private:
  int value_;
};

/// The screen's resolution (the system's logical dots per inch).
Dpi screenDpi();

/// MS Sans Serif, 8 point, at the given resolution; one font per resolution, kept for the
/// program's life.
HFONT uiFont(const Dpi& dpi);
/// The same face in bold.
HFONT uiBoldFont(const Dpi& dpi);

/// Creates a child control at a 96-dpi rectangle (scaled), with the dialog font.
HWND createControl(HWND parent, const char* windowClass, const std::string& text, DWORD style,
                   int x, int y, int width, int height, int id, const Dpi& dpi, DWORD exStyle = 0);

/// Report-view list columns (widths at 96 dpi, scaled).
void addColumn(HWND listView, int index, const std::string& caption, int width, const Dpi& dpi);

std::string windowText(HWND window);
void setWindowText(HWND window, const std::string& text);
/// Sets the text only when it differs, so a repeated status does not repaint.
void updateWindowText(HWND window, const std::string& text);

/// Centres the window over another one (the screen when over is null).
void centreWindow(HWND window, HWND over);

/// For a catch block: shows the exception being handled in an error box (through
/// uiDialogs()) over the top-level window of window. Never throws. While such a box is
/// open no other is shown, so that a handler failing on every paint cannot stack boxes.
void showEscapedException(HWND window) noexcept;

/// The barrier of every window, dialog, subclass, hook and timer procedure: a C++ exception
/// cannot unwind through the system's frames that call them (the program would end), so
/// one that escapes body becomes an error box and the procedure answers fallback() instead;
/// the program runs on.
template <class Body, class Fallback>
auto guarded(HWND window, Body&& body, Fallback&& fallback) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    showEscapedException(window);
  }
  try {
    return fallback();
  } catch (...) {
    if constexpr (!std::is_void_v<decltype(body())>) return {};
  }
}

/// guarded for a window procedure: a message whose handler failed gets the default
/// processing (a failed paint is validated rather than asked for again and again).
template <class Body>
LRESULT guardedWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                          Body&& body) noexcept {
  return guarded(window, std::forward<Body>(body),
                 [&] { return DefWindowProcA(window, message, wParam, lParam); });
}

/// Text of a list view cell.
std::string listViewText(HWND listView, int item, int subItem);
/// Copies text into a control's buffer of size chars, cut to fit and always terminated.
void copyText(char* buffer, int size, const std::string& text);

}  // namespace ostrel::ui
