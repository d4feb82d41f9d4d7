// The detail pages of the main window: a tab control with one page per debug event code,
// each a framed area of captions and values, six of them with a read-only text box.
#pragma once

#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "ui/ui_common.h"

namespace ostrel {
class TDbgEvent;
}

namespace ostrel::ui {

class DetailPages {
 public:
  DetailPages() = default;
  /// Destroys the tab control and its pages if the parent has not done so already.
  ~DetailPages();
  DetailPages(const DetailPages&) = delete;
  DetailPages& operator=(const DetailPages&) = delete;

  /// Creates the standard tab control with its nine pages ("Exception", "Create thread",
  /// "Create process", "Exit thread", "Exit process", "Load Dll", "Unload Dll",
  /// "Debug string", "RIP. Info"; the page of code c has index c - 1) as children of parent.
  void create(HWND parent, int id, const Dpi& dpi);
  /// Places the tab control (parent client coordinates, screen pixels); pages follow.
  void move(int x, int y, int width, int height);
  HWND handle() const { return tab_; }
  /// Brings the page of the event's code (1..9) to front and fills it from GetDetails; other
  /// codes change nothing. Labels of other pages keep their values.
  void show(TDbgEvent& event);
  /// The parent forwards WM_NOTIFY here; true when it was the tab control's (a user
  /// switching pages by clicking a tab).
  bool onNotify(const NMHDR* header);
  /// 1..9, the page in front.
  int currentCode() const;
  /// The value shown right of a caption on the page of a code ("?" until filled; empty when
  /// the page has no such caption), and the text of that page's text box (empty when it has
  /// none).
  std::string value(int code, const std::string& caption) const;
  std::string text(int code) const;

 private:
  struct Label {
    HWND caption = nullptr;
    HWND value = nullptr;
  };
  struct Page {
    HWND window = nullptr;
    std::vector<Label> labels;
    HWND box = nullptr;
  };

  static LRESULT CALLBACK pageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handlePage(Page& page, UINT message, WPARAM wParam, LPARAM lParam);
  void createPage(int index);
  void layoutPage(const Page& page) const;
  void bringToFront(int index);
  /// The tab's display area as a brush, so that labels paint the same background as the
  /// page under them (a plain colour without visual styles, the themed body with them).
  HBRUSH backgroundBrush();
  void dropBackground();

  HWND tab_ = nullptr;
  Dpi dpi_;
  std::array<Page, 9> pages_;
  int front_ = 0;
  HBITMAP backgroundBitmap_ = nullptr;
  HBRUSH background_ = nullptr;
};

}  // namespace ostrel::ui
