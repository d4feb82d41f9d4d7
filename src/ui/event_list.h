// The event list: an owner-data report list view over the recorded events. A row is a
// pointer to its record and the severity that came with it; the texts are made when the
// view draws the row, so a million rows cost the window eight bytes each.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/event_records.h"
#include "report/event_lines.h"
#include "ui/ui_common.h"

namespace ostrel::ui {

class EventList {
 public:
  struct Row {
    TDbgEvent* event;
    uint8_t severity;
  };

  void create(HWND parent, int id, const Dpi& dpi);
  HWND handle() const { return view_; }

  /// Adds a row; the view learns of it at the next flush().
  void append(TDbgEvent* event, uint8_t severity) { rows_.push_back({event, severity}); }
  /// Empties the list and the view at once.
  void clear();
  /// Tells the view how many rows there are now, and keeps the end in view when it was.
  /// Setting the count is costly, so it is done at most every few milliseconds, not per row.
  void flush();
  bool pending() const { return shown_ != rows_.size(); }

  size_t size() const { return rows_.size(); }
  const Row& row(size_t i) const { return rows_[i]; }
  /// The selected row, -1 when none.
  int selected() const;
  report::EventRow texts(size_t i) const;
  std::vector<report::EventRow> allTexts() const;

  /// WM_NOTIFY of the view: cell texts on demand and row colours. True when handled.
  bool onNotify(NMHDR* header, LRESULT& result);

 private:
  HWND view_ = nullptr;
  std::vector<Row> rows_;
  size_t shown_ = 0;     // rows the view knows of
  int selected_ = -1;    // the selected row, as the view's notifications tell it
};

/// The background colour of a severity: 1 yellow, 2 red, otherwise none (CLR_DEFAULT).
COLORREF severityColour(uint8_t severity);

}  // namespace ostrel::ui
