#include "ui/event_list.h"

#include <commctrl.h>

namespace ostrel::ui {

namespace {

const char* const kColumns[] = {"No.", "Event", "Information", "PID.", "TID."};
const int kWidths[] = {50, 200, 300, 75, 75};

}  // namespace

COLORREF severityColour(uint8_t severity) {
  if (severity == 1) return RGB(255, 255, 0);
  if (severity == 2) return RGB(255, 0, 0);
  return CLR_DEFAULT;
}

void EventList::create(HWND parent, int id, const Dpi& dpi) {
  view_ = createControl(parent, WC_LISTVIEWA, "",
                        WS_VISIBLE | WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_OWNERDATA |
                            LVS_SINGLESEL | LVS_SHOWSELALWAYS,
                        0, 0, 10, 10, id, dpi);
  SendMessageA(view_, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER,
               LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  for (int i = 0; i < 5; ++i) addColumn(view_, i, kColumns[i], kWidths[i], dpi);
}

void EventList::clear() {
  rows_.clear();
  shown_ = 0;
  selected_ = -1;
  SendMessageA(view_, LVM_SETITEMCOUNT, 0, 0);
}

void EventList::flush() {
  if (!pending()) return;
  const int before = static_cast<int>(shown_);
  // The end is followed when it is in view (or the list was empty).
  bool followEnd = before == 0;
  if (!followEnd) {
    const int top = static_cast<int>(SendMessageA(view_, LVM_GETTOPINDEX, 0, 0));
    const int perPage = static_cast<int>(SendMessageA(view_, LVM_GETCOUNTPERPAGE, 0, 0));
    followEnd = top + perPage >= before;
  }
  shown_ = rows_.size();
  SendMessageA(view_, LVM_SETITEMCOUNT, shown_, LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  if (followEnd) SendMessageA(view_, LVM_ENSUREVISIBLE, shown_ - 1, FALSE);
}

int EventList::selected() const { return selected_; }

report::EventRow EventList::texts(size_t i) const {
  const TDbgEvent& e = *rows_[i].event;
  return report::eventRow(e.Number, e.DebugEvent, e.Details);
}

std::vector<report::EventRow> EventList::allTexts() const {
  std::vector<report::EventRow> all;
  all.reserve(rows_.size());
  for (size_t i = 0; i < rows_.size(); ++i) all.push_back(texts(i));
  return all;
}

bool EventList::onNotify(NMHDR* header, LRESULT& result) {
  if (header->hwndFrom != view_) return false;
  switch (header->code) {
    case LVN_ITEMCHANGED: {
      // Followed here: asking an owner-data view for its selection walks all its rows.
      const auto* change = reinterpret_cast<NMLISTVIEW*>(header);
      if (!(change->uChanged & LVIF_STATE)) return false;
      const bool was = change->uOldState & LVIS_SELECTED, is = change->uNewState & LVIS_SELECTED;
      if (is && change->iItem >= 0)
        selected_ = change->iItem;
      else if (was && !is && (change->iItem < 0 || change->iItem == selected_))
        selected_ = -1;
      return false;
    }
    case LVN_GETDISPINFOA: {
      auto* info = reinterpret_cast<NMLVDISPINFOA*>(header);
      LVITEMA& item = info->item;
      if (item.iItem < 0 || static_cast<size_t>(item.iItem) >= rows_.size()) return true;
      if (item.mask & LVIF_TEXT) {
        const report::EventRow r = texts(static_cast<size_t>(item.iItem));
        const std::string* cells[] = {&r.number, &r.event, &r.information, &r.pid, &r.tid};
        if (item.iSubItem >= 0 && item.iSubItem < 5)
          copyText(item.pszText, item.cchTextMax, *cells[item.iSubItem]);
      }
      result = 0;
      return true;
    }
    case NM_CUSTOMDRAW: {
      auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(header);
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) {
        result = CDRF_NOTIFYITEMDRAW;
        return true;
      }
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
        const size_t i = draw->nmcd.dwItemSpec;
        if (i < rows_.size()) {
          const COLORREF colour = severityColour(rows_[i].severity);
          if (colour != CLR_DEFAULT) draw->clrTextBk = colour;
        }
        result = CDRF_DODEFAULT;
        return true;
      }
      return false;
    }
    default:
      return false;
  }
}

}  // namespace ostrel::ui
