// STUB until the details branch lands.
#include <commctrl.h>

#include "ui/detail_pages.h"
namespace ostrel::ui {
void DetailPages::create(HWND parent, int id, const Dpi& dpi) {
  tabs_ = createControl(parent, WC_TABCONTROLA, "", WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, 10, 10, id,
                        dpi);
}
void DetailPages::move(int x, int y, int w, int h) { MoveWindow(tabs_, x, y, w, h, TRUE); }
void DetailPages::show(TDbgEvent& event) {
  code_ = static_cast<int>(event.DebugEvent.dwDebugEventCode);
}
bool DetailPages::onNotify(const NMHDR*) { return false; }
std::string DetailPages::value(int, const std::string&) const { return "?"; }
std::string DetailPages::text(int) const { return {}; }
}  // namespace ostrel::ui
