// A draggable bar between two panes. It tells its parent where the user dragged it; the
// parent lays its panes out again.
#pragma once

#include <windows.h>

namespace ostrel::ui {

/// WM_COMMAND code a splitter sends with its id when dragged; the parent reads position().
constexpr WORD kSplitterMoved = 0x7A00;

class Splitter {
 public:
  enum class Direction { Vertical, Horizontal };  // a vertical bar moves left and right
  void create(HWND parent, int id, Direction direction);
  HWND handle() const { return window_; }
  /// Where the drag put the bar: its left (or top) edge in parent client coordinates.
  int position() const { return position_; }

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  Direction direction_ = Direction::Vertical;
  int position_ = 0;
  int grab_ = 0;  // where in the bar the mouse took hold
  bool dragging_ = false;
};

}  // namespace ostrel::ui
