#include "ui/call_stack_form.h"

#include <commctrl.h>

#include <algorithm>

#include "common/format.h"
#include "engine/stack_listing.h"
#include "excpack/exception_log.h"
#include "mapfile/map.h"
#include "report/log_report.h"
#include "ui/ui_dialogs.h"

namespace ostrel::ui {

namespace {

struct Column {
  const char* caption;
  int width, minimum, maximum;
};
constexpr Column kColumns[] = {{"No.", 100, 50, 200},      {"Address", 100, 50, 200},
                               {"Module", 200, 100, 500},  {"Unit", 200, 100, 500},
                               {"Routine", 300, 200, 500}, {"Line", 100, 50, 300},
                               {"Found by", 70, 50, 100}};

void insertRow(HWND list, int row, const std::vector<std::string>& cells) {
  LVITEMA first{};
  first.mask = LVIF_TEXT;
  first.iItem = row;
  first.pszText = const_cast<char*>(cells[0].c_str());
  SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&first));
  for (size_t c = 1; c < cells.size(); ++c) {
    LVITEMA cell{};
    cell.iSubItem = static_cast<int>(c);
    cell.pszText = const_cast<char*>(cells[c].c_str());
    SendMessageA(list, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&cell));
  }
}

// The memo's text: the report lines, each ended by CR LF.
std::string memoText(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace

ModalDialog::Frame TdisplayCallStackForm::frame() const {
  Frame f;
  f.caption = "Display call stack";
  f.style = WS_CAPTION;  // no title-bar buttons
  f.width = f.minWidth = f.maxWidth = 540;
  f.height = f.minHeight = f.maxHeight = 600;
  f.centreOnScreen = true;
  return f;
}

void TdisplayCallStackForm::onCreate() {
  createControl(handle(), "BUTTON", "Call stack", WS_VISIBLE | BS_GROUPBOX, 8, 8, 516, 250, -1,
                dpi());
  HWND list = createControl(handle(), WC_LISTVIEWA, "",
                            WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS,
                            16, 24, 500, 226, kCallStackListView, dpi(), WS_EX_CLIENTEDGE);
  SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  for (int i = 0; i < columnCount(); ++i)
    addColumn(list, i, kColumns[i].caption, kColumns[i].width, dpi());
  createControl(handle(), "BUTTON", "Messages", WS_VISIBLE | BS_GROUPBOX, 8, 272, 516, 250, -1,
                dpi());
  createControl(handle(), "EDIT", "",
                WS_VISIBLE | WS_TABSTOP | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_READONLY |
                    ES_AUTOHSCROLL | ES_AUTOVSCROLL,
                16, 288, 500, 226, kMessageMemo, dpi(), WS_EX_CLIENTEDGE);
  createControl(handle(), "STATIC", "Units:", WS_VISIBLE, 8, 544, 28, 13, -1, dpi());
  createControl(handle(), "STATIC", "?", WS_VISIBLE, 37, 544, 40, 13, kUnitsLabel, dpi());
  createControl(handle(), "STATIC", "Routines:", WS_VISIBLE, 88, 544, 46, 13, -1, dpi());
  createControl(handle(), "STATIC", "?", WS_VISIBLE, 136, 544, 40, 13, kRoutinesLabel, dpi());
  createControl(handle(), "STATIC", "Lines:", WS_VISIBLE, 192, 544, 30, 13, -1, dpi());
  createControl(handle(), "STATIC", "?", WS_VISIBLE, 223, 544, 40, 13, kLinesLabel, dpi());
  createControl(handle(), "BUTTON", "&Close", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 448,
                536, 75, 25, IDOK, dpi());
  fill();
}

void TdisplayCallStackForm::fillDump() {
  SetWindowTextA(item(kMessageMemo), memoText(report::splitLines(dump_->text())).c_str());
  HWND list = item(kCallStackListView);
  if (dump_->threads.empty()) return;
  int row = 0;
  for (const report::StackLine& line : dump_->threads.front().entries) {
    insertRow(list, row++,
              {stackEntryNumberText(line.number), hexP(line.address),
               line.names.ModuleName, line.names.UnitName, line.names.RoutineName,
               line.names.LineText, foundByName(line.foundBy)});
  }
}

void TdisplayCallStackForm::fill() {
  if (dump_) {
    fillDump();
    return;
  }
  if (path_.empty()) return;
  HCURSOR remembered = SetCursor(LoadCursor(nullptr, IDC_WAIT));
  excpack::ReadLogResult log = excpack::readExceptionLogText(content_, path_);
  content_.clear();
  if (!log.pack) {
    SetCursor(remembered);
    uiDialogs().messageBox(handle(), log.error, BoxKind::Error);
    return;
  }
  Pack = std::move(log.pack);
  SetWindowTextA(item(kMessageMemo),
                 memoText(report::reportLines(*Pack, report::ReportValues::StoredOnly)).c_str());
  HWND list = item(kCallStackListView);
  SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
  std::unique_ptr<report::LogDumpNames> dumpNames =
      report::LogDumpNames::besideLog(path_, *Pack, mapFolders_);
  int row = 0;
  for (const report::StackRow& cells :
       report::callStackRows(*Pack, map_, ModuleNames, dumpNames.get()))
    insertRow(list, row++, std::vector<std::string>(cells.begin(), cells.end()));
  SetCursor(remembered);
}

bool TdisplayCallStackForm::onNotify(NMHDR* header, LRESULT&) {
  // Column edges dragged past their limits spring back.
  if (header->code != HDN_ITEMCHANGEDA && header->code != HDN_ITEMCHANGEDW) return false;
  HWND list = item(kCallStackListView);
  if (GetParent(header->hwndFrom) != list) return false;
  const int column = reinterpret_cast<NMHEADERA*>(header)->iItem;
  if (column < 0 || column >= columnCount()) return false;
  const int width = static_cast<int>(SendMessageA(list, LVM_GETCOLUMNWIDTH, column, 0));
  const int clamped =
      std::clamp(width, dpi()(kColumns[column].minimum), dpi()(kColumns[column].maximum));
  if (clamped != width) SendMessageA(list, LVM_SETCOLUMNWIDTH, column, clamped);
  return false;
}

bool TdisplayCallStackForm::onCommand(int id, int code, HWND) {
  if (code == BN_CLICKED && (id == IDOK || id == IDCANCEL)) {
    closeButtonClick();
    return true;
  }
  return false;
}

void TdisplayCallStackForm::closeButtonClick() { end(IDOK); }

bool TdisplayCallStackForm::isDumpPath(const std::string& path) {
  return path.size() > 4 && sameText(std::string_view(path).substr(path.size() - 4), ".dmp");
}

void TdisplayCallStackForm::showDump(HWND owner, const std::string& path,
                                     const std::vector<std::string>& mapFolders) {
  HCURSOR remembered = SetCursor(LoadCursor(nullptr, IDC_WAIT));
  report::DumpReportOptions options;
  options.mapFolders = mapFolders;
  report::DumpReport dump;
  std::string error;
  const bool read = report::buildDumpReport(path, options, dump, error);
  SetCursor(remembered);
  if (!read) {
    uiDialogs().messageBox(owner, error, BoxKind::Error);
    return;
  }
  TdisplayCallStackForm form(std::move(dump));
  form.showModal(owner);
}

void TdisplayCallStackForm::showCallStack(HWND owner, const std::string& path,
                                          const std::string& moduleNames, const TMap* map,
                                          const std::vector<std::string>& mapFolders) {
  if (isDumpPath(path)) {
    showDump(owner, path, mapFolders);
    return;
  }
  std::string content;
  if (!path.empty()) {
    excpack::LogFileContent read = excpack::readLogFile(path);
    if (!read.content) {
      uiDialogs().messageBox(owner, read.error, BoxKind::Error);
      return;
    }
    content = std::move(*read.content);
  }
  std::vector<std::string> modules;
  if (!moduleNames.empty()) modules = report::splitLines(moduleNames);
  TdisplayCallStackForm form(path, std::move(content), std::move(modules), map);
  form.mapFolders_ = mapFolders;
  form.showModal(owner);
}

}  // namespace ostrel::ui
