// A report list view over rows of texts held here (owner data): the rows may change at
// any rate, the view is told at most once per flush(), and a change costs no window call.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ostrel::ui {

class TextTable {
 public:
  using Row = std::vector<std::string>;

  /// The list view shown, created by the owner with LVS_OWNERDATA and its columns.
  void attach(HWND view) { view_ = view; }
  HWND handle() const { return view_; }

  size_t size() const { return rows_.size(); }
  const Row& row(size_t i) const { return rows_[i]; }
  void append(Row row);
  void erase(size_t i);
  void set(size_t i, size_t column, const std::string& text);
  /// The last row whose cell in column is text, -1 when none.
  int findLast(size_t column, const std::string& text) const;
  /// Empties the table and the view at once.
  void clear();
  /// Tells the view of the changes since the last flush.
  void flush();

  /// WM_NOTIFY of the view: cell texts on demand. True when it was the view's.
  bool onNotify(NMHDR* header, LRESULT& result);

 private:
  HWND view_ = nullptr;
  std::vector<Row> rows_;
  bool changed_ = false;
};

}  // namespace ostrel::ui
