// Small helpers of every window: sizes given at 96 dots per inch scaled to the screen,
// the dialog font, standard controls created with it, list view columns, window texts.
#pragma once

#include <windows.h>

#include <string>

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

/// Text of a list view cell.
std::string listViewText(HWND listView, int item, int subItem);
/// Copies text into a control's buffer of size chars, cut to fit and always terminated.
void copyText(char* buffer, int size, const std::string& text);

}  // namespace ostrel::ui
