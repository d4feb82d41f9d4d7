#include "ui/process_list.h"

#include <commctrl.h>

#include <charconv>
#include <cstring>
#include <exception>

namespace ostrel::ui {

#ifndef _WIN64
static_assert(sizeof(PROCESSENTRY32) == 296, "the ANSI snapshot record");
#endif

namespace {

// Closes the snapshot on every path out of takeSnapshot, a thrown one included.
class SnapshotHandle {
 public:
  explicit SnapshotHandle(HANDLE handle) : handle_(handle) {}
  ~SnapshotHandle() {
    if (valid()) CloseHandle(handle_);
  }
  SnapshotHandle(const SnapshotHandle&) = delete;
  SnapshotHandle& operator=(const SnapshotHandle&) = delete;
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

struct Column {
  const char* caption;
  int width;
};

constexpr Column kColumns[] = {
    {"Process Name", 200}, {"ID", 65},      {"Usage", 65},     {"Threads", 65},
    {"Priority", 65},      {"Heap ID", 65}, {"Module ID", 65}, {"Parent proc ID", 85},
    {"Flag", 65}};
constexpr int kIdColumn = 1;

std::string decimal(uint32_t value) { return std::to_string(value); }

// Each column's width is fixed: the user can neither drag a divider nor auto-size a
// column by double-clicking it. The header tells its parent, the list view, first.
LRESULT CALLBACK fixedColumnsProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                  UINT_PTR id, DWORD_PTR data);

LRESULT fixedColumns(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id) {
  if (message == WM_NOTIFY) {
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    if (header->hwndFrom == reinterpret_cast<HWND>(SendMessageA(window, LVM_GETHEADER, 0, 0))) {
      switch (header->code) {
        case HDN_BEGINTRACKA:
        case HDN_BEGINTRACKW:
          return TRUE;
        case HDN_DIVIDERDBLCLICKA:
        case HDN_DIVIDERDBLCLICKW:
          return 0;
        default:
          break;
      }
    }
  } else if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(window, fixedColumnsProc, id);
  }
  return DefSubclassProc(window, message, wParam, lParam);
}

LRESULT CALLBACK fixedColumnsProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                  UINT_PTR id, DWORD_PTR) {
  return guarded(
      window, [&] { return fixedColumns(window, message, wParam, lParam, id); },
      [&] { return DefSubclassProc(window, message, wParam, lParam); });
}

// The pid label's colour (a dark blue).
constexpr COLORREF kPidColour = 8323072;

}  // namespace

TProcessInfo::TProcessInfo(const PROCESSENTRY32& entry) : Entry(entry) {
  Name.assign(entry.szExeFile, strnlen(entry.szExeFile, sizeof entry.szExeFile));
  bool blank = true;
  for (unsigned char c : Name) blank = blank && c <= ' ';
  if (blank) Name = "< Unknown >";
}

std::string priorityClassName(LONG basePriority) {
  switch (basePriority) {
    case 4:
      return "Idle";
    case 13:
      return "High";
    case 24:
      return "RealTime";
    default:
      return "Normal";
  }
}

void TProcessList::clear() {
  Processes.clear();
  SnapshotTaken = false;
}

bool TProcessList::takeSnapshot() {
  clear();
  try {
    SnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0));
    if (!snapshot.valid()) return false;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more;
         more = Process32Next(snapshot.get(), &entry))
      Processes.emplace_back(entry);
  } catch (const std::exception&) {
    return false;
  }
  SnapshotTaken = true;
  return true;
}

void TProcessList::fillView() {
  if (!SnapshotTaken) takeSnapshot();
  if (ListView == nullptr) return;
  const Dpi dpi = screenDpi();
  SendMessageA(ListView, WM_SETREDRAW, FALSE, 0);
  SendMessageA(ListView, LVM_DELETEALLITEMS, 0, 0);
  while (SendMessageA(ListView, LVM_DELETECOLUMN, 0, 0) != FALSE) {
  }
  SetWindowLongPtrA(ListView, GWL_STYLE,
                    GetWindowLongPtrA(ListView, GWL_STYLE) & ~LONG_PTR{LVS_EDITLABELS});
  SendMessageA(ListView, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  int index = 0;
  for (const Column& column : kColumns)
    addColumn(ListView, index++, column.caption, column.width, dpi);

  int row = 0;
  for (const TProcessInfo& info : Processes) {
    const PROCESSENTRY32& e = info.Entry;
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<char*>(info.Name.c_str());
    row = static_cast<int>(
        SendMessageA(ListView, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
    if (row < 0) break;
    const std::string cells[] = {decimal(e.th32ProcessID),
                                 decimal(e.cntUsage),
                                 decimal(e.cntThreads),
                                 priorityClassName(e.pcPriClassBase),
                                 decimal(static_cast<uint32_t>(e.th32DefaultHeapID)),
                                 decimal(e.th32ModuleID),
                                 decimal(e.th32ParentProcessID),
                                 decimal(e.dwFlags)};
    for (int sub = 1; sub <= 8; ++sub) {
      LVITEMA cell{};
      cell.iSubItem = sub;
      cell.pszText = const_cast<char*>(cells[sub - 1].c_str());
      SendMessageA(ListView, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&cell));
    }
    ++row;
  }
  SendMessageA(ListView, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(ListView, nullptr, TRUE);
}

void TProcessList::refresh() {
  SnapshotTaken = false;
  fillView();
}

int32_t TProcessList::selectProcess(TprocessListForm& form, HWND owner) {
  TProcessList list;
  form.OnRefresh = [&list] { list.refresh(); };
  form.OnCreated = [&list, &form] {
    list.ListView = form.listView();
    list.fillView();
  };
  const INT_PTR code = form.showModal(owner);
  // The list ends here; the form must not call it afterwards.
  form.OnRefresh = nullptr;
  form.OnCreated = nullptr;
  // A window that could not be shown picked nothing: that is a cancel, not process 0.
  if (code != IDOK && code != IDCANCEL) return -1;
  return form.SelectedPid;
}

ModalDialog::Frame TprocessListForm::frame() const {
  Frame f;
  f.caption = "Select Process";
  f.style = WS_CAPTION | WS_SYSMENU | WS_MAXIMIZEBOX | WS_THICKFRAME;
  f.width = 800;
  f.height = 600;
  f.minWidth = 500;
  f.minHeight = 400;
  f.maxWidth = 1024;
  f.maxHeight = 768;
  return f;
}

void TprocessListForm::onCreate() {
  FormCreate();
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&classes);

  GroupBox1 = createControl(handle(), "BUTTON", "Process List", WS_VISIBLE | BS_GROUPBOX, 8, 11,
                            777, 510, -1, dpi());
  processListView =
      createControl(handle(), WC_LISTVIEWA, "",
                    WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 8 + 6,
                    11 + 16, 777 - 12, 510 - 16 - 6, kProcessListView, dpi(), WS_EX_CLIENTEDGE);
  HWND header = reinterpret_cast<HWND>(SendMessageA(processListView, LVM_GETHEADER, 0, 0));
  if (header != nullptr)
    SetWindowLongPtrA(header, GWL_STYLE, GetWindowLongPtrA(header, GWL_STYLE) | HDS_NOSIZING);
  SetWindowSubclass(processListView, fixedColumnsProc, 0, 0);
  pidLabel = createControl(handle(), "STATIC", "?", WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 9, 542, 150,
                           16, kPidLabel, dpi());
  SendMessageA(pidLabel, WM_SETFONT, reinterpret_cast<WPARAM>(uiBoldFont(dpi())), FALSE);
  okButton = createControl(handle(), "BUTTON", "&Ok.", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                           709, 537, 75, 25, IDOK, dpi());
  refreshButton =
      createControl(handle(), "BUTTON", "&Refresh", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 624,
                    537, 75, 25, kRefreshButton, dpi());
  RECT client{};
  GetClientRect(handle(), &client);
  designClient_ = {client.right, client.bottom};
  if (OnCreated) OnCreated();
}

void TprocessListForm::onSize(int width, int height) {
  if (processListView == nullptr) return;  // the frame is sized before the controls exist
  const int dx = width - designClient_.cx, dy = height - designClient_.cy;
  const Dpi& d = dpi();
  // The group and its list follow all four edges, the pid label the bottom edge, "&Ok."
  // the bottom right corner; "&Refresh" stays where it is.
  const int groupWidth = d(777) + dx, groupHeight = d(510) + dy;
  SetWindowPos(GroupBox1, nullptr, d(8), d(11), groupWidth, groupHeight, SWP_NOZORDER);
  SetWindowPos(processListView, nullptr, d(8 + 6), d(11 + 16), groupWidth - d(12),
               groupHeight - d(16 + 6), SWP_NOZORDER);
  SetWindowPos(pidLabel, nullptr, d(9), d(542) + dy, 0, 0, SWP_NOZORDER | SWP_NOSIZE);
  SetWindowPos(okButton, nullptr, d(709) + dx, d(537) + dy, 0, 0, SWP_NOZORDER | SWP_NOSIZE);
  InvalidateRect(handle(), nullptr, TRUE);
}

bool TprocessListForm::onCommand(int id, int code, HWND) {
  if (code != BN_CLICKED) return false;
  switch (id) {
    case IDOK:
      okButtonClick();
      return true;
    case kRefreshButton:
      refreshButtonClick();
      return true;
    case IDCANCEL:  // Escape and the close box
      FormClose();
      end(IDCANCEL);
      return true;
    default:
      return false;
  }
}

bool TprocessListForm::onNotify(NMHDR* header, LRESULT& result) {
  if (header->hwndFrom != processListView) return false;
  // The pick follows the selection however it was made: a click, the arrow keys, typing.
  if (header->code == static_cast<UINT>(LVN_ITEMCHANGED)) {
    const auto* change = reinterpret_cast<const NMLISTVIEW*>(header);
    if ((change->uChanged & LVIF_STATE) && (change->uNewState & LVIS_SELECTED) &&
        !(change->uOldState & LVIS_SELECTED))
      processListViewClick();
    return false;
  }
  if (header->code != static_cast<UINT>(NM_CLICK)) return false;
  processListViewClick();
  result = 0;
  return true;
}

bool TprocessListForm::onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) {
  if (message != WM_CTLCOLORSTATIC || reinterpret_cast<HWND>(lParam) != pidLabel) return false;
  HDC dc = reinterpret_cast<HDC>(wParam);
  SetTextColor(dc, kPidColour);
  SetBkMode(dc, TRANSPARENT);
  result = reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
  return true;
}

void TprocessListForm::FormCreate() {
  OkPressed = false;
  SelectedPid = 0;
}

void TprocessListForm::processListViewClick() {
  const int row = static_cast<int>(
      SendMessageA(processListView, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
  if (row < 0) return;
  const std::string id = listViewText(processListView, row, kIdColumn);
  uint32_t pid = 0;
  const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), pid);
  if (error != std::errc() || end != id.data() + id.size()) return;
  SelectedPid = static_cast<int32_t>(pid);
  setWindowText(pidLabel, id);
}

void TprocessListForm::okButtonClick() {
  OkPressed = true;
  FormClose();
  end(IDOK);
}

void TprocessListForm::refreshButtonClick() {
  if (OnRefresh) OnRefresh();
}

void TprocessListForm::FormClose() {
  if (!OkPressed) SelectedPid = -1;
}

int32_t selectProcess(HWND owner) {
  TprocessListForm form;
  return TProcessList::selectProcess(form, owner);
}

}  // namespace ostrel::ui
