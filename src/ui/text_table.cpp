#include "ui/text_table.h"

#include <commctrl.h>

#include "ui/ui_common.h"

namespace ostrel::ui {

void TextTable::append(Row row) {
  rows_.push_back(std::move(row));
  changed_ = true;
}

void TextTable::erase(size_t i) {
  if (i >= rows_.size()) return;
  rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(i));
  changed_ = true;
}

void TextTable::set(size_t i, size_t column, const std::string& text) {
  if (i >= rows_.size()) return;
  Row& row = rows_[i];
  if (row.size() <= column) row.resize(column + 1);
  row[column] = text;
  changed_ = true;
}

int TextTable::findLast(size_t column, const std::string& text) const {
  for (size_t i = rows_.size(); i-- > 0;)
    if (column < rows_[i].size() && rows_[i][column] == text) return static_cast<int>(i);
  return -1;
}

void TextTable::clear() {
  rows_.clear();
  changed_ = false;
  if (view_ != nullptr) SendMessageA(view_, LVM_SETITEMCOUNT, 0, 0);
}

void TextTable::flush() {
  if (!changed_ || view_ == nullptr) return;
  changed_ = false;
  SendMessageA(view_, LVM_SETITEMCOUNT, rows_.size(), LVSICF_NOSCROLL);
  InvalidateRect(view_, nullptr, FALSE);
}

bool TextTable::onNotify(NMHDR* header, LRESULT& result) {
  if (header->hwndFrom != view_ || view_ == nullptr) return false;
  if (header->code != LVN_GETDISPINFOA) return false;
  LVITEMA& item = reinterpret_cast<NMLVDISPINFOA*>(header)->item;
  result = 0;
  if (item.iItem < 0 || static_cast<size_t>(item.iItem) >= rows_.size()) return true;
  const Row& row = rows_[static_cast<size_t>(item.iItem)];
  if ((item.mask & LVIF_TEXT) && item.iSubItem >= 0 &&
      static_cast<size_t>(item.iSubItem) < row.size())
    copyText(item.pszText, item.cchTextMax, row[static_cast<size_t>(item.iSubItem)]);
  return true;
}

}  // namespace ostrel::ui
