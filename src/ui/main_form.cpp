#include "ui/main_form.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <stdexcept>

#include "common/format.h"
#include "engine/stack_listing.h"
#include "excpack/exception_log.h"
#include "mapfile/map.h"
#include "mapfile/map_feedback.h"
#include "ui/about_form.h"
#include "ui/call_stack_form.h"
#include "ui/event_save.h"
#include "ui/process_list.h"
#include "ui/select_app.h"
#include "ui/ui_dialogs.h"

namespace ostrel::ui {

namespace {

constexpr char kClassName[] = "TostrelForm";
constexpr UINT_PTR kFlushTimer = 1;
constexpr UINT kFlushMs = 50;
constexpr UINT kMaxFlushMs = 500;

const char* const kActionCaptions[] = {"Run",     "Attach",   "Suspend", "Resume", "Stop",
                                       "Display", "Settings", "Exit",    "About",  "Help"};

// Controls without an id of their own in the window's id table.
constexpr int kWhenStartGroup = 300;
constexpr int kEventsGroup = 301;
constexpr int kDetailGroup = 302;
constexpr int kSummaryGroup = 303;
constexpr int kThreadCountCaption = 304;
constexpr int kProcessCountCaption = 305;
constexpr int kExceptionsCaption = 306;
constexpr int kMaxThreadsCaption = 307;
constexpr int kMaxProcessesCaption = 308;
constexpr int kWhenStartCaption0 = 309;  // four captions follow

const char* const kWhenStartCaptions[] = {
    "Except frame:", "Stack base:", "Stack top:", "Stack pointer:"};

// Column limits of a list (96-dpi pixels), kept when the user drags a column edge.
struct ColumnLimit {
  int minimum, maximum;
};
const ColumnLimit kEventColumns[] = {{50, 200}, {200, 400}, {200, 500}, {50, 200}, {50, 200}};
const ColumnLimit kCallStackColumns[] = {{50, 100},  {50, 100},  {150, 400}, {150, 400},
                                         {150, 600}, {50, 300},  {50, 100}};

std::string replaceExtension(const std::string& path, const std::string& extension) {
  const size_t slash = path.find_last_of("\\/:");
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return path + extension;
  return path.substr(0, dot) + extension;
}

bool fileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string systemErrorText(DWORD code) {
  char buffer[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text.empty() ? "Error " + std::to_string(code) : text;
}

void setValue(HWND window, const std::string& text) { updateWindowText(window, text); }

int32_t valueOf(HWND window) { return std::atoi(windowText(window).c_str()); }

// The hourglass while a map loads, and its error box once per executable (a map that does
// not parse is tried again at every event).
class FormMapFeedback : public TMapFeedback {
 public:
  HWND owner = nullptr;
  std::string program;
  void beginWait() override {
    if (depth_++ == 0) previous_ = SetCursor(LoadCursor(nullptr, IDC_WAIT));
  }
  void endWait() override {
    if (depth_ > 0 && --depth_ == 0) SetCursor(previous_);
  }
  void showError(const std::string& text) override {
    if (program == shownFor_) return;
    shownFor_ = program;
    uiDialogs().messageBox(owner, text, BoxKind::Error);
  }

 private:
  int depth_ = 0;
  HCURSOR previous_ = nullptr;
  std::string shownFor_;
};

FormMapFeedback& formMapFeedback() {
  static FormMapFeedback feedback;
  return feedback;
}

}  // namespace

const char* TostrelForm::actionCaption(Action action) { return kActionCaptions[action]; }

TostrelForm::TostrelForm() = default;

TostrelForm::~TostrelForm() {
  if (window_ != nullptr) DestroyWindow(window_);
  if (eventMenu_ != nullptr) DestroyMenu(eventMenu_);
}

bool TostrelForm::create() {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  if (!GetClassInfoExA(instance, kClassName, &wc)) {
    wc = WNDCLASSEXA{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &TostrelForm::windowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    RegisterClassExA(&wc);
  }
  dpi_ = screenDpi();
  window_ = CreateWindowExA(0, kClassName, "Ostrel", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                            CW_USEDEFAULT, dpi_(800), dpi_(642), nullptr, nullptr, instance, this);
  if (window_ == nullptr) return false;
  createControls();
  layout();
  centreWindow(window_, nullptr);
  formMapFeedback().owner = window_;
  setMapFeedback(&formMapFeedback());
  return true;
}

void TostrelForm::show(int showCommand) {
  ShowWindow(window_, showCommand);
  UpdateWindow(window_);
}

// --- controls -----------------------------------------------------------------------------

void TostrelForm::createControls() {
  const Dpi& d = dpi_;
  toolbar_ =
      CreateWindowExA(0, TOOLBARCLASSNAMEA, "",
                      WS_CHILD | WS_VISIBLE | WS_BORDER | TBSTYLE_FLAT |
                          CCS_NORESIZE | CCS_NODIVIDER | CCS_NOPARENTALIGN,
                      0, 0, 0, 0, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kToolbar)),
                      GetModuleHandleA(nullptr), nullptr);
  SendMessageA(toolbar_, WM_SETFONT, reinterpret_cast<WPARAM>(uiFont(d)), FALSE);
  SendMessageA(toolbar_, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
  SendMessageA(toolbar_, TB_SETBITMAPSIZE, 0, MAKELONG(0, 0));
  TBBUTTON buttons[kActionCount]{};
  for (int i = 0; i < kActionCount; ++i) {
    buttons[i].iBitmap = I_IMAGENONE;
    buttons[i].idCommand = kFirstActionId + i;
    buttons[i].fsStyle = BTNS_BUTTON;
    buttons[i].iString = reinterpret_cast<INT_PTR>(kActionCaptions[i]);
  }
  SendMessageA(toolbar_, TB_ADDBUTTONSA, kActionCount, reinterpret_cast<LPARAM>(buttons));
  SendMessageA(toolbar_, TB_SETPADDING, 0, MAKELONG(d(2), d(2)));
  SendMessageA(toolbar_, TB_SETBUTTONWIDTH, 0, MAKELONG(d(50), d(50)));
  SendMessageA(toolbar_, TB_SETBUTTONSIZE, 0, MAKELONG(d(50), d(17)));
  for (int i = 0; i < kActionCount; ++i) {
    const Action a = static_cast<Action>(i);
    enableAction(a, a != suspendAction && a != resumeAction && a != displayAction);
  }

  const DWORD label = WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
  const DWORD group = WS_VISIBLE | WS_CLIPSIBLINGS | BS_GROUPBOX;
  createControl(window_, WC_BUTTONA, "When start", group, 0, 0, 10, 10, kWhenStartGroup, d);
  for (int i = 0; i < 4; ++i) {
    createControl(window_, WC_STATICA, kWhenStartCaptions[i], label, 0, 0, 10, 10,
                  kWhenStartCaption0 + i, d);
    createControl(window_, WC_STATICA, "?", label, 0, 0, 10, 10, kExceptFrameValue + i, d);
  }

  createControl(window_, WC_BUTTONA, "Debug events", group, 0, 0, 10, 10, kEventsGroup, d);
  events_.create(window_, kEventList, d);
  vertical_.create(window_, kVerticalSplitter, Splitter::Direction::Vertical);

  createControl(window_, WC_BUTTONA, "Debug detaild", group, 0, 0, 10, 10, kDetailGroup, d);
  createControl(window_, WC_STATICA, "Thread count:", label, 0, 0, 10, 10, kThreadCountCaption, d);
  createControl(window_, WC_STATICA, "?", label, 0, 0, 10, 10, kThreadCountValue, d);
  createControl(window_, WC_STATICA, "Process count:", label, 0, 0, 10, 10, kProcessCountCaption,
                d);
  createControl(window_, WC_STATICA, "?", label, 0, 0, 10, 10, kProcessCountValue, d);
  pages_.create(window_, kDetailTabs, d);
  upper_.create(window_, kUpperSplitter, Splitter::Direction::Horizontal);

  createControl(window_, WC_BUTTONA, "0 Call Stack Entrie(s)", group, 0, 0, 10, 10, kCallStackGroup,
                d);
  callStackView_ = createControl(
      window_, WC_LISTVIEWA, "",
      WS_VISIBLE | WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 0, 0,
      10, 10, kCallStackList, d);
  SendMessageA(callStackView_, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT,
               LVS_EX_FULLROWSELECT);
  const char* const stackColumns[] = {"No.",    "Address", "Module",  "Unit",
                                      "Method", "Line",    "Found by"};
  const int stackWidths[] = {50, 75, 200, 200, 200, 77, 60};
  for (int i = 0; i < 7; ++i) addColumn(callStackView_, i, stackColumns[i], stackWidths[i], d);
  lower_.create(window_, kLowerSplitter, Splitter::Direction::Horizontal);

  createControl(window_, WC_BUTTONA, "Summary", group, 0, 0, 10, 10, kSummaryGroup, d);
  summaryTabs_ = createControl(window_, WC_TABCONTROLA, "", WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, 10,
                               10, kSummaryTabs, d);
  const char* const summaryPages[] = {"Exceptions", "Processes", "DLLs"};
  for (int i = 0; i < 3; ++i) {
    TCITEMA tab{};
    tab.mask = TCIF_TEXT;
    tab.pszText = const_cast<char*>(summaryPages[i]);
    SendMessageA(summaryTabs_, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&tab));
  }
  createControl(window_, WC_STATICA, "Exceptions:", label, 0, 0, 10, 10, kExceptionsCaption, d);
  createControl(window_, WC_STATICA, "0", label, 0, 0, 10, 10, kExceptionsValue, d);
  createControl(window_, WC_STATICA, "Max threads:", label, 0, 0, 10, 10, kMaxThreadsCaption, d);
  createControl(window_, WC_STATICA, "0", label, 0, 0, 10, 10, kMaxThreadsValue, d);
  createControl(window_, WC_STATICA, "Max processes:", label, 0, 0, 10, 10, kMaxProcessesCaption,
                d);
  createControl(window_, WC_STATICA, "0", label, 0, 0, 10, 10, kMaxProcessesValue, d);
  createControl(window_, WC_BUTTONA, "Last chance exception",
                WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0, 0, 10, 10, kLastChanceCheck, d);
  createControl(window_, WC_BUTTONA, "Stack damaged", WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0,
                0, 10, 10, kStackDamagedCheck, d);
  const DWORD listStyle = WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_SINGLESEL |
                          LVS_SHOWSELALWAYS | LVS_OWNERDATA;
  processesView_ =
      createControl(window_, WC_LISTVIEWA, "", listStyle, 0, 0, 10, 10, kProcessesList, d);
  dllsView_ = createControl(window_, WC_LISTVIEWA, "", listStyle, 0, 0, 10, 10, kDllsList, d);
  processes_.attach(processesView_);
  dlls_.attach(dllsView_);
  for (HWND view : {processesView_, dllsView_})
    SendMessageA(view, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  const char* const processColumns[] = {"No.", "Name", "Status", "PID"};
  const int processWidths[] = {50, 200, 120, 75};
  for (int i = 0; i < 4; ++i) addColumn(processesView_, i, processColumns[i], processWidths[i], d);
  const char* const dllColumns[] = {"No.", "DLL Name", "Handle"};
  const int dllWidths[] = {50, 250, 75};
  for (int i = 0; i < 3; ++i) addColumn(dllsView_, i, dllColumns[i], dllWidths[i], d);
  // The "DLLs" page is the one in front at start.
  SendMessageA(summaryTabs_, TCM_SETCURSEL, 2, 0);
  showSummaryPage(2);

  footer_ = createControl(window_, WC_STATICA, "|", WS_VISIBLE | SS_CENTER | SS_NOPREFIX, 0, 0, 10,
                          10, kFooter, d, WS_EX_STATICEDGE);

  tooltip_ = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0, 0, 0,
                             window_, nullptr, GetModuleHandleA(nullptr), nullptr);
  SendMessageA(tooltip_, TTM_SETMAXTIPWIDTH, 0, d(400));
  auto addTip = [&](HWND target, const char* text) {
    TTTOOLINFOA tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(target);
    tool.lpszText = const_cast<char*>(text);
    SendMessageA(tooltip_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
  };
  addTip(events_.handle(), "Debug events as sequentially.\r\nPress right click to save it.");
  addTip(control(kSummaryGroup), "The summary of debugging.");

  // The group boxes lie under what they frame, the outer ones lowest.
  for (int id : {kCallStackGroup, kSummaryGroup, kWhenStartGroup, kEventsGroup, kDetailGroup})
    SetWindowPos(control(id), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  eventMenu_ = CreatePopupMenu();
  AppendMenuA(eventMenu_, MF_STRING, kSaveCommand, "Save");
  AppendMenuA(eventMenu_, MF_STRING, kOpenLogCommand, "Open exception log...");
  AppendMenuA(eventMenu_, MF_STRING | MF_GRAYED, kWriteDumpCommand, "Write minidump...");
}

void TostrelForm::layout() {
  const Dpi& d = dpi_;
  RECT client{};
  GetClientRect(window_, &client);
  const int width = client.right, height = client.bottom;
  auto place = [&](int id, int x, int y, int w, int h) {
    MoveWindow(control(id), x, y, std::max(w, 0), std::max(h, 0), TRUE);
  };

  MoveWindow(toolbar_, 0, 0, width, d(34), TRUE);
  int y = d(34);
  place(kWhenStartGroup, 0, y, width, d(34));
  const int quarter = width / 4;
  for (int i = 0; i < 4; ++i) {
    place(kWhenStartCaption0 + i, d(8) + i * quarter, y + d(14), d(72), d(14));
    place(kExceptFrameValue + i, d(82) + i * quarter, y + d(14), quarter - d(80), d(14));
  }
  y += d(34);

  const int footerHeight = d(19);
  place(kFooter, 0, height - footerHeight, width, footerHeight);
  const int areaTop = y, areaHeight = height - footerHeight - y;

  int left = width / 2;
  if (eventsWidth_ >= 0)
    left = std::clamp(d(eventsWidth_), d(100), std::max(d(100), width - d(200)));
  place(kEventsGroup, 0, areaTop, left, areaHeight);
  MoveWindow(events_.handle(), d(8), areaTop + d(16), std::max(left - d(16), 0),
             std::max(areaHeight - d(24), 0), TRUE);
  MoveWindow(vertical_.handle(), left, areaTop, d(4), areaHeight, TRUE);

  const int rx = left + d(4), rw = width - rx;
  place(kDetailGroup, rx, areaTop, rw, areaHeight);
  const int ix = rx + d(8), iw = rw - d(16);
  int iy = areaTop + d(16);
  place(kThreadCountCaption, ix, iy + d(2), d(70), d(14));
  place(kThreadCountValue, ix + d(72), iy + d(2), d(60), d(14));
  place(kProcessCountCaption, ix + d(150), iy + d(2), d(75), d(14));
  place(kProcessCountValue, ix + d(228), iy + d(2), d(60), d(14));
  iy += d(20);
  pages_.move(ix, iy, iw, d(pagesHeight_));
  iy += d(pagesHeight_);
  MoveWindow(upper_.handle(), ix, iy, iw, d(4), TRUE);
  iy += d(4);
  place(kCallStackGroup, ix, iy, iw, d(callStackHeight_));
  MoveWindow(callStackView_, ix + d(8), iy + d(16), iw - d(16), d(callStackHeight_) - d(24), TRUE);
  iy += d(callStackHeight_);
  MoveWindow(lower_.handle(), ix, iy, iw, d(4), TRUE);
  iy += d(4);
  const int bottom = areaTop + areaHeight - d(8);
  place(kSummaryGroup, ix, iy, iw, bottom - iy);
  MoveWindow(summaryTabs_, ix + d(8), iy + d(16), iw - d(16), std::max(bottom - iy - d(24), 0),
             TRUE);
  RECT page{};
  GetWindowRect(summaryTabs_, &page);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&page), 2);
  SendMessageA(summaryTabs_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&page));
  const int px = page.left, py = page.top, pw = page.right - page.left, ph = page.bottom - page.top;
  place(kExceptionsCaption, px + d(8), py + d(8), d(90), d(14));
  place(kExceptionsValue, px + d(100), py + d(8), d(80), d(14));
  place(kMaxThreadsCaption, px + d(8), py + d(26), d(90), d(14));
  place(kMaxThreadsValue, px + d(100), py + d(26), d(80), d(14));
  place(kMaxProcessesCaption, px + d(8), py + d(44), d(90), d(14));
  place(kMaxProcessesValue, px + d(100), py + d(44), d(80), d(14));
  place(kLastChanceCheck, px + d(200), py + d(8), d(160), d(17));
  place(kStackDamagedCheck, px + d(200), py + d(26), d(160), d(17));
  MoveWindow(processesView_, px + d(2), py + d(2), pw - d(4), ph - d(4), TRUE);
  MoveWindow(dllsView_, px + d(2), py + d(2), pw - d(4), ph - d(4), TRUE);
}

void TostrelForm::showSummaryPage(int page) {
  for (int id : {kExceptionsCaption, kExceptionsValue, kMaxThreadsCaption, kMaxThreadsValue,
                 kMaxProcessesCaption, kMaxProcessesValue, kLastChanceCheck, kStackDamagedCheck})
    ShowWindow(control(id), page == 0 ? SW_SHOW : SW_HIDE);
  ShowWindow(processesView_, page == 1 ? SW_SHOW : SW_HIDE);
  ShowWindow(dllsView_, page == 2 ? SW_SHOW : SW_HIDE);
  for (int id : {kExceptionsCaption, kExceptionsValue, kMaxThreadsCaption, kMaxThreadsValue,
                 kMaxProcessesCaption, kMaxProcessesValue, kLastChanceCheck, kStackDamagedCheck})
    if (page == 0) SetWindowPos(control(id), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetWindowPos(page == 1 ? processesView_ : dllsView_, HWND_TOP, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE);
}

void TostrelForm::enableAction(Action action, bool enabled) {
  enabled_[action] = enabled;
  SendMessageA(toolbar_, TB_ENABLEBUTTON, kFirstActionId + static_cast<int>(action),
               MAKELONG(enabled, 0));
}

std::string TostrelForm::footerText() const { return windowText(footer_); }

// --- actions ------------------------------------------------------------------------------

TDebugCallbacks TostrelForm::callbackTable() {
  // Each notification runs its handler, then afterNotification().
  const auto notified = [this](auto handler) {
    return [this, handler](auto&&... args) {
      (this->*handler)(args...);
      afterNotification();
    };
  };
  TDebugCallbacks cb;
  cb.OnStackInfo = notified(&TostrelForm::OnStackInfo);
  cb.OnDebugEvent = notified(&TostrelForm::OnDebugEvent);
  cb.OnStackOverflow = notified(&TostrelForm::OnStackOverflow);
  cb.OnThreadCount = notified(&TostrelForm::OnThreadCount);
  cb.OnProcessCount = notified(&TostrelForm::OnProcessCount);
  cb.OnLastChance = notified(&TostrelForm::OnLastChance);
  cb.OnCallStackEntry = notified(&TostrelForm::onCallStackEntry);
  cb.OnWarning = notified(&TostrelForm::OnWarning);
  cb.OnExceptionCount = notified(&TostrelForm::OnExceptionCount);
  return cb;
}

TNotifyEvent TostrelForm::terminatedHandler() {
  return [this](TDebugThread& s) {
    debugThreadTerminated(s);
    afterNotification();
  };
}

void TostrelForm::afterNotification() {
  // A box shown by a notification runs a message loop of its own; a close that came
  // through it waits until the notification has returned, since the session cannot be
  // stopped or detached from inside one of its own notifications.
  if (!closePending_ || window_ == nullptr) return;
  closePending_ = false;
  PostMessageA(window_, WM_CLOSE, 0, 0);
}

void TostrelForm::beginSession() {
  // A session still ending (stopped a moment ago) must not add its last events to the
  // cleared list or store: it is muted and waited for first.
  if (CurrentDebugThread && !CurrentDebugThread->Finished()) {
    CurrentDebugThread->Mute();
    CurrentDebugThread->Terminate();
    CurrentDebugThread->WaitFor();
  }
  ++sessionSerial_;
  events_.clear();
  clearCallStack();
  CallStackCount = 0;  // the caption follows with the first row
  dllLoads_ = 0;
  // An error text of the last session gives way to the map status.
  updateWindowText(footer_, mapStatus_);
  mapTriedFor_.clear();
  symbolizer_ = std::make_unique<Symbolizer>(Settings.LoadMap);
  if (DebugEvents) DebugEvents->ClearEvents();
  processes_.clear();
  dlls_.clear();
  enableAction(runAction, false);
  enableAction(attachAction, false);
  enableAction(stopAction, true);
  enableAction(suspendAction, true);
}

void TostrelForm::runActionExecute() {
  if (!selectApplication(window_, false, TargetPath, TargetParams, ErrorLogPath)) return;
  startRun();
}

void TostrelForm::startRun() {
  IsStarted = true;
  beginSession();
  DebugRun(
      TargetPath, TargetParams, ErrorLogPath, callbackTable(),
      terminatedHandler(), Settings.DispCallStackOnBreak, Settings.Minidump);
}

void TostrelForm::attachActionExecute() {
  AttachedPid = selectProcess(window_);
  if (AttachedPid == -1) {
    enableAction(runAction, true);
    enableAction(stopAction, true);
    return;
  }
  if (ErrorLogPath.empty())
    selectApplication(window_, true, TargetPath, TargetParams, ErrorLogPath);
  if (ErrorLogPath.empty()) {
    enableAction(runAction, true);
    enableAction(stopAction, true);
    return;
  }
  startAttach();
}

void TostrelForm::startAttach() {
  IsAttached = true;
  beginSession();
  DebugAttach(
      "", ErrorLogPath, AttachedPid, callbackTable(),
      terminatedHandler(), Settings.DispCallStackOnBreak, Settings.Minidump);
}

void TostrelForm::suspendActionExecute() {
  enableAction(resumeAction, true);
  enableAction(suspendAction, false);
  enableAction(stopAction, false);
  DebugSuspend();
}

void TostrelForm::resumeActionExecute() {
  enableAction(resumeAction, false);
  enableAction(suspendAction, true);
  enableAction(stopAction, true);
  DebugResume();
}

void TostrelForm::stopActionExecute() {
  // A program Ostrel started is terminated by the session as it ends.
  if (IsStarted || IsAttached) DebugStop(IsStarted);
  if (IsStarted) IsStarted = false;
  if (IsAttached) {
    IsAttached = false;
    if (DebugActiveProcessStopAvailable)
      DebugActiveProcessStopProc(static_cast<uint32_t>(AttachedPid));
  }
  enableAction(runAction, true);
  enableAction(attachAction, true);
  enableAction(suspendAction, false);
}

void TostrelForm::displayActionExecute() {
  if (!CurrentDebugThread) return;
  const TLastChanceResults stored = CurrentDebugThread->lastChanceResults();
  TdisplayCallStackForm::showCallStack(window_, stored.ErrorLogName, stored.StackModules,
                                       MapLoaded ? globalMap() : nullptr, mapFolders());
}

std::vector<std::string> TostrelForm::mapFolders() const {
  // The folder of the map loaded for the session's program names that program's frames in
  // a dump written elsewhere.
  const TMap* map = MapLoaded ? globalMap() : nullptr;
  if (map == nullptr || map->MapFileName.empty()) return {};
  const size_t slash = map->MapFileName.find_last_of("\\/");
  if (slash == std::string::npos) return {};
  return {map->MapFileName.substr(0, slash)};
}

void TostrelForm::openLog(const std::string& path) {
  if (TdisplayCallStackForm::isDumpPath(path)) {
    TdisplayCallStackForm::showDump(window_, path, mapFolders());
    return;
  }
  TdisplayCallStackForm::showCallStack(window_, path, "", mapForLog(path), mapFolders());
}

const TMap* TostrelForm::mapForLog(const std::string& path) {
  // A log is resolved through the map of the program it names: beside that program, or
  // beside the log under the program's name. A log without a program name gets no map:
  // another program's names would be wrong ones.
  excpack::ReadLogResult log = excpack::readExceptionLog(path);
  if (!log.pack || log.pack->AppInfo() == nullptr) return nullptr;
  const std::string program = log.pack->AppInfo()->StoredApplicationName();
  if (program.empty()) return nullptr;
  if (MapLoaded && lstrcmpiA(program.c_str(), mapOwner_.c_str()) == 0) return globalMap();
  if (!Settings.LoadMap) return nullptr;
  const size_t slash = path.find_last_of("\\/");
  const std::string besideLog =
      (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
      extractFileName(program);
  for (const std::string& candidate : {program, besideLog}) {
    if (MapLoaded && lstrcmpiA(candidate.c_str(), mapOwner_.c_str()) == 0) return globalMap();
    if (logMap_ && lstrcmpiA(candidate.c_str(), logMapOwner_.c_str()) == 0) return logMap_.get();
    const std::string mapFile = replaceExtension(candidate, ".map");
    if (!fileExists(mapFile)) continue;
    // The session's map stays as it is; the log's own map replaces the last log's.
    logMap_.reset();
    logMapOwner_.clear();
    formMapFeedback().program = candidate;
    auto map = std::make_unique<TMap>(mapFile);
    if (!map->loadSymbols()) return nullptr;
    map->ProgramName = candidate;
    logMap_ = std::move(map);
    logMapOwner_ = candidate;
    return logMap_.get();
  }
  return nullptr;
}

void TostrelForm::openLogExecute() {
  if (auto path = uiDialogs().openFile(window_, "Exception log|*.err|Minidump|*.dmp"))
    openLog(*path);
}

bool TostrelForm::sessionRunning() const {
  return CurrentDebugThread && !CurrentDebugThread->Finished() &&
         CurrentDebugThread->processHandle() != 0 && CurrentDebugThread->MainProcessId != 0;
}

void TostrelForm::writeMinidumpExecute() {
  if (!sessionRunning()) return;
  std::string program = TargetPath;
  if (program.empty()) program = CurrentDebugThread->exePath();
  auto file = uiDialogs().saveFile(window_, "Write minidump", "Minidump|*.dmp", "*.dmp",
                                   replaceExtension(program, ".dmp"), true);
  if (!file) return;
  // The session may have ended while the dialog was open.
  if (!sessionRunning()) {
    uiDialogs().messageBox(
        window_, "Minidump could not be written to " + *file + ": the debugged process has ended",
        BoxKind::Error);
    return;
  }
  // The dump is written from here, not by the worker: it only reads the debuggee through
  // the session's process handle (kept until the session is destroyed, which only this
  // thread does), and it works alike whether the debuggee runs or waits at an event. The
  // worker meanwhile just waits should it hand a notification over.
  MinidumpRequest request;
  request.process = CurrentDebugThread->processHandle();
  request.processId = CurrentDebugThread->MainProcessId;
  request.kind = MinidumpKind::Normal;
  // The user agreed to replace an existing file: the new dump goes to a file of its own
  // first, so that a failed write leaves the old one as it was.
  const bool replacing = fileExists(*file);
  request.path = *file;
  if (replacing) {
    // A name of our own in the same folder (so that the move is a rename): the system
    // creates it empty, and the writer, which never replaces a file, wants it gone.
    const size_t slash = file->find_last_of("\\/");
    const std::string folder = slash == std::string::npos ? "." : file->substr(0, slash);
    char unique[MAX_PATH] = {};
    if (GetTempFileNameA(folder.c_str(), "dmp", 0, unique) == 0) {
      uiDialogs().messageBox(
          window_,
          "Minidump could not be written to " + *file + ": " + systemErrorText(GetLastError()),
          BoxKind::Error);
      return;
    }
    DeleteFileA(unique);
    request.path = unique;
  }
  std::string error;
  bool written = enginePlatform() != nullptr && enginePlatform()->writeMinidump(request, &error);
  if (written && replacing &&
      !MoveFileExA(request.path.c_str(), file->c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = systemErrorText(GetLastError());
    DeleteFileA(request.path.c_str());
    written = false;
  }
  if (!written)
    uiDialogs().messageBox(
        window_, "Minidump could not be written to " + *file + (error.empty() ? "" : ": " + error),
        BoxKind::Error);
}

void TostrelForm::settingsActionExecute() {
  editPreferences(window_, Settings);
  StackDepth.store(Settings.StackDepth);
}

void TostrelForm::exitActionExecute() { SendMessageA(window_, WM_CLOSE, 0, 0); }

void TostrelForm::aboutActionExecute() { showAbout(window_); }

void TostrelForm::helpActionExecute() {
  char exe[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  const std::string help = replaceExtension(exe, ".chm");
  if (!fileExists(help)) {
    uiDialogs().messageBox(window_, help + "\rnot available - sorry!", BoxKind::Warning);
    return;
  }
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteA(window_, "open", help.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result <= 32)
    uiDialogs().messageBox(window_, systemErrorText(GetLastError()), BoxKind::Plain);
}

void TostrelForm::onClose() {
  if (IsStarted || IsAttached)
    uiDialogs().messageBox(window_, "Debuged process not terminated, before exit!", BoxKind::Plain);
  // A program Ostrel started is terminated by the session as it ends.
  DebugStop(IsStarted);
  if (IsAttached && DebugActiveProcessStopAvailable &&
      !DebugActiveProcessStopProc(static_cast<uint32_t>(AttachedPid)))
    uiDialogs().messageBox(window_, "Error occurred while stoping the debugger!", BoxKind::Error);
  IsStarted = IsAttached = false;
  // Nothing of the session may reach this window once it is gone.
  if (CurrentDebugThread) CurrentDebugThread->Mute();
  TMap::releaseMap();
  logMap_.reset();
  MapLoaded = false;
  DestroyWindow(window_);
}

void TostrelForm::saveEvents() {
  if (events_.size() == 0) {
    uiDialogs().messageBox(window_, "The debug event section is empty!", BoxKind::Information);
    return;
  }
  auto file =
      uiDialogs().saveFile(window_, "Save debug events", "Txt|*.txt", "*.txt", TargetPath + ".txt");
  if (!file) return;
  // The title names the debugged executable: for an attached process the engine knows it.
  std::string base = TargetPath;
  if (base.empty() && CurrentDebugThread) base = CurrentDebugThread->exePath();
  try {
    TDebugEventSave save;
    save.saveToText(base, events_.allTexts(), *DebugEvents, *file);
  } catch (const std::exception& e) {
    uiDialogs().messageBox(window_, e.what(), BoxKind::Error);
  }
}

// --- notifications ------------------------------------------------------------------------

void TostrelForm::OnStackInfo(uint32_t excFrame, uint32_t stackBase, uint32_t stackTop,
                              uint32_t esp) {
  setValue(control(kExceptFrameValue), hexP(excFrame));
  setValue(control(kStackBaseValue), hexP(stackBase));
  setValue(control(kStackTopValue), hexP(stackTop));
  setValue(control(kStackPointerValue), hexP(esp));
}

void TostrelForm::mapStep() {
  const std::string program = CurrentDebugThread ? CurrentDebugThread->exePath() : std::string();
  if (MapLoaded) {
    // A map belongs to its executable: another program's addresses resolved through it
    // would give wrong names.
    if (lstrcmpiA(program.c_str(), mapOwner_.c_str()) == 0) return;
    TMap::releaseMap();
    MapLoaded = false;
    mapOwner_.clear();
  }
  if (!Settings.LoadMap) {
    setMapStatus("Map file not loaded.");
    return;
  }
  // One attempt per executable and session: a program without a map would otherwise look
  // for it again at every one of its events.
  if (!program.empty() && lstrcmpiA(program.c_str(), mapTriedFor_.c_str()) == 0) return;
  mapTriedFor_ = program;
  if (!program.empty() && fileExists(replaceExtension(program, ".map"))) {
    updateWindowText(footer_, "Map file loading, please wait...");
    UpdateWindow(footer_);
  }
  formMapFeedback().program = program;
  if (!program.empty() && TMap::loadMapFor(program)) {
    MapLoaded = true;
    mapOwner_ = program;
    setMapStatus("Map file loaded.");
  } else {
    setMapStatus("Map file can't loaded.");
  }
}

void TostrelForm::setMapStatus(const std::string& text) {
  mapStatus_ = text;
  updateWindowText(footer_, text);
}

void TostrelForm::OnDebugEvent(int32_t number, const DebugEventRecord& event, TDllInfo* dll,
                               const std::string&, uint8_t severity) {
  mapStep();
  TDbgEvent* record = DebugEvents ? DebugEvents->FindByNumber(number) : nullptr;
  if (record != nullptr) events_.append(record, severity);
  if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT_CODE ||
      event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT_CODE)
    noteProcess(event, record);
  if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT_CODE ||
      event.dwDebugEventCode == UNLOAD_DLL_DEBUG_EVENT_CODE)
    noteDll(event, dll);
  // The views learn of new rows at most every 50 ms, also while events keep coming.
  if (!flushArmed_) flushArmed_ = SetTimer(window_, kFlushTimer, flushInterval_, nullptr) != 0;
}

void TostrelForm::noteProcess(const DebugEventRecord& event, const TDbgEvent* record) {
  const std::string pid = hexP(event.dwProcessId);
  if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT_CODE) {
    const int row = processes_.findLast(3, pid);
    if (row >= 0)
      processes_.set(static_cast<size_t>(row), 2,
                     "Exited (" + hexP(event.u.ExitProcess.dwExitCode) + ")");
    return;
  }
  // The name the process was registered with.
  const std::string name = record != nullptr ? record->Info : std::string();
  processes_.append({std::to_string(processes_.size() + 1), name, "Running", pid});
}

void TostrelForm::noteDll(const DebugEventRecord& event, const TDllInfo* dll) {
  const Address base = event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT_CODE
                           ? event.u.LoadDll.lpBaseOfDll
                           : event.u.UnloadDll.lpBaseOfDll;
  const std::string handle = hexP(base);
  if (event.dwDebugEventCode == UNLOAD_DLL_DEBUG_EVENT_CODE) {
    // The list holds the DLLs loaded now, in load order: the latest load at that base goes.
    const int row = dlls_.findLast(2, handle);
    if (row >= 0) dlls_.erase(static_cast<size_t>(row));
    return;
  }
  dlls_.append({std::to_string(++dllLoads_), dll != nullptr ? dll->Name : std::string(),
                handle});
}

void TostrelForm::OnStackOverflow(bool flag) {
  SendMessageA(control(kStackDamagedCheck), BM_SETCHECK, flag ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TostrelForm::raiseMaximum(int valueId, int maximumId, int32_t count) {
  setValue(control(valueId), std::to_string(count));
  if (valueOf(control(maximumId)) < count) setValue(control(maximumId), std::to_string(count));
}

void TostrelForm::OnThreadCount(int32_t count) {
  raiseMaximum(kThreadCountValue, kMaxThreadsValue, count);
}

void TostrelForm::OnProcessCount(int32_t count) {
  raiseMaximum(kProcessCountValue, kMaxProcessesValue, count);
}

void TostrelForm::OnLastChance(bool flag) {
  SendMessageA(control(kLastChanceCheck), BM_SETCHECK, flag ? BST_CHECKED : BST_UNCHECKED, 0);
  enableAction(displayAction, true);
}

void TostrelForm::OnWarning(const std::string& text) {
  uiDialogs().messageBox(window_, text, BoxKind::Warning);
}

void TostrelForm::OnExceptionCount(int32_t count) {
  setValue(control(kExceptionsValue), std::to_string(count));
}

void TostrelForm::debugThreadTerminated(TDebugThread& sender) {
  IsStarted = false;
  IsAttached = false;
  // A session that ended with an error says so instead of ending silently (the text is
  // there at the second call, when the loop has ended).
  if (sender.ErrorText.empty() || errorShownFor_ == sessionSerial_) return;
  errorShownFor_ = sessionSerial_;
  updateWindowText(footer_, sender.ErrorText);
  uiDialogs().messageBox(window_, sender.ErrorText, BoxKind::Warning);
}

// --- call stack ---------------------------------------------------------------------------

void TostrelForm::clearCallStack() { SendMessageA(callStackView_, LVM_DELETEALLITEMS, 0, 0); }

void TostrelForm::addCallStackRow(int32_t index, const std::string& address,
                                  const std::string& module, const std::string& unitName,
                                  const std::string& method, const std::string& line, uint8_t,
                                  const std::string& foundBy) {
  if (!Settings.ShowScanEntries && foundBy == foundByName(FoundBy::Scan)) return;
  ++CallStackCount;
  const std::string number = stackEntryNumberText(index);
  const int row = static_cast<int>(SendMessageA(callStackView_, LVM_GETITEMCOUNT, 0, 0));
  LVITEMA item{};
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.pszText = const_cast<char*>(number.c_str());
  SendMessageA(callStackView_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  const std::string* cells[] = {&address, &module, &unitName, &method, &line, &foundBy};
  for (int c = 1; c < 7; ++c) {
    LVITEMA sub{};
    sub.iSubItem = c;
    sub.pszText = const_cast<char*>(cells[c - 1]->c_str());
    SendMessageA(callStackView_, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&sub));
  }
  setWindowText(control(kCallStackGroup), std::to_string(CallStackCount) + " Call Stack Entrie(s)");
}

void TostrelForm::onCallStackEntry(int32_t index, const std::string& address,
                                   const std::string& module, const std::string& unitName,
                                   const std::string& method, const std::string& line,
                                   uint8_t flag, const std::string& foundBy) {
  // The session waits for this handler: the entry it publishes is in its CallStack.
  const TListedStackEntry* published = nullptr;
  if (CurrentDebugThread) {
    StackEntryNumbers numbers;
    for (const TListedStackEntry& entry : CurrentDebugThread->CallStack.listed())
      if (numbers.next(entry) == index) {
        published = &entry;
        break;
      }
  }
  if (published == nullptr) {
    addCallStackRow(index, address, module, unitName, method, line, flag, foundBy);
    return;
  }
  const SymbolInfo names = namesOf(*published, CurrentDebugThread->CodeBase.load(),
                                   CurrentDebugThread->MainImageBase.load());
  addCallStackRow(index, address, module, names.UnitName, names.RoutineName, names.LineText, flag,
                  foundBy);
}

SymbolInfo TostrelForm::namesOf(const TListedStackEntry& entry, Address codeBase,
                                Address mainBase) {
  SymbolInfo names;
  const SymbolModule* image = entry.Image.get();
  // The program's own entries are named by the session's map, as they always were; so is
  // an entry whose module is known by name only.
  const bool inProgram = image == nullptr || image->Base == 0 || image->Base == mainBase;
  if (inProgram) {
    if (codeBase != 0) {
      TCodeLocation at = TMap::addressInfo(codeBase, entry.Address);
      names.UnitName = std::move(at.UnitName);
      names.RoutineName = std::move(at.RoutineName);
      names.LineText = std::move(at.LineText);
    }
    // Without the session's map the program is named by its exports, if it has any.
    if (MapLoaded || image == nullptr || image->Base == 0 || !symbolizer_) return names;
  }
  if (!symbolizer_) return names;
  return symbolizer_->symbolize(*image, entry.Address);
}

void TostrelForm::showEventDetails() {
  SendMessageA(callStackView_, WM_SETREDRAW, FALSE, 0);
  clearCallStack();
  const int selected = events_.selected();
  TDbgEvent* event = selected >= 0 && static_cast<size_t>(selected) < events_.size()
                         ? events_.row(static_cast<size_t>(selected)).event
                         : nullptr;
  if (event != nullptr) {
    pages_.show(*event);
    if (event->DebugEvent.dwDebugEventCode == EXCEPTION_DEBUG_EVENT_CODE) {
      CallStackCount = 0;
      if (!(CurrentDebugThread && CurrentDebugThread->stackReporting())) {
        const Address codeBase = CurrentDebugThread ? CurrentDebugThread->CodeBase.load() : 0;
        const Address mainBase =
            CurrentDebugThread ? CurrentDebugThread->MainImageBase.load() : 0;
        StackEntryNumbers numbers;
        for (const TListedStackEntry& entry : event->CallStack.listed()) {
          const int32_t number = numbers.next(entry);
          if (!Settings.ShowScanEntries && entry.foundBy == FoundBy::Scan) continue;
          const SymbolInfo names = namesOf(entry, codeBase, mainBase);
          addCallStackRow(number, hexP(entry.Address), entry.moduleName(), names.UnitName,
                          names.RoutineName, names.LineText, 0, foundByName(entry.foundBy));
        }
      }
    }
  }
  SendMessageA(callStackView_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(callStackView_, nullptr, TRUE);
}

// --- messages -----------------------------------------------------------------------------

LRESULT CALLBACK TostrelForm::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self =
        static_cast<TostrelForm*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
  }
  auto* self = reinterpret_cast<TostrelForm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  return guardedWindowProc(window, message, wParam, lParam,
                           [&] { return self->handle(message, wParam, lParam); });
}

bool TostrelForm::onNotify(NMHDR* header, LRESULT& result) {
  if (events_.onNotify(header, result)) return true;
  if (processes_.onNotify(header, result) || dlls_.onNotify(header, result)) return true;
  if (pages_.onNotify(header)) return true;
  if (header->hwndFrom == events_.handle()) {
    if (header->code == NM_CLICK) {
      showEventDetails();
      return true;
    }
    if (header->code == NM_RCLICK) {
      POINT at{};
      GetCursorPos(&at);
      EnableMenuItem(eventMenu_, kWriteDumpCommand,
                     MF_BYCOMMAND | (sessionRunning() ? MF_ENABLED : MF_GRAYED));
      TrackPopupMenu(eventMenu_, TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr);
      return true;
    }
  }
  if (header->hwndFrom == summaryTabs_ && header->code == TCN_SELCHANGE) {
    showSummaryPage(static_cast<int>(SendMessageA(summaryTabs_, TCM_GETCURSEL, 0, 0)));
    return true;
  }
  // Column edges dragged past their limits spring back.
  if (header->code == HDN_ITEMCHANGEDA || header->code == HDN_ITEMCHANGEDW) {
    HWND view = GetParent(header->hwndFrom);
    const ColumnLimit* limits = nullptr;
    int columns = 0;
    if (view == events_.handle()) {
      limits = kEventColumns;
      columns = 5;
    } else if (view == callStackView_) {
      limits = kCallStackColumns;
      columns = 6;
    }
    const int column = reinterpret_cast<NMHEADERA*>(header)->iItem;
    if (limits != nullptr && column >= 0 && column < columns) {
      const int width = static_cast<int>(SendMessageA(view, LVM_GETCOLUMNWIDTH, column, 0));
      const int clamped =
          std::clamp(width, dpi_(limits[column].minimum), dpi_(limits[column].maximum));
      if (clamped != width) SendMessageA(view, LVM_SETCOLUMNWIDTH, column, clamped);
    }
    return false;
  }
  return false;
}

LRESULT TostrelForm::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (id >= kFirstActionId && id < kFirstActionId + static_cast<int>(kActionCount)) {
        const Action action = static_cast<Action>(id - kFirstActionId);
        if (!enabled_[action]) return 0;
        switch (action) {
          case runAction:
            runActionExecute();
            break;
          case attachAction:
            attachActionExecute();
            break;
          case suspendAction:
            suspendActionExecute();
            break;
          case resumeAction:
            resumeActionExecute();
            break;
          case stopAction:
            stopActionExecute();
            break;
          case displayAction:
            displayActionExecute();
            break;
          case settingsAction:
            settingsActionExecute();
            break;
          case exitAction:
            exitActionExecute();
            break;
          case aboutAction:
            aboutActionExecute();
            break;
          case helpAction:
            helpActionExecute();
            break;
          default:
            break;
        }
        return 0;
      }
      if (id == kSaveCommand) {
        saveEvents();
        return 0;
      }
      if (id == kOpenLogCommand) {
        openLogExecute();
        return 0;
      }
      if (id == kWriteDumpCommand) {
        writeMinidumpExecute();
        return 0;
      }
      if (HIWORD(wParam) == kSplitterMoved) {
        RECT group{};
        if (id == kVerticalSplitter) {
          eventsWidth_ = dpi_.unscale(vertical_.position());
        } else if (id == kUpperSplitter) {
          GetWindowRect(pages_.handle(), &group);
          MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&group), 2);
          pagesHeight_ = std::max(40, dpi_.unscale(upper_.position() - group.top));
        } else if (id == kLowerSplitter) {
          GetWindowRect(control(kCallStackGroup), &group);
          MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&group), 2);
          callStackHeight_ = std::max(40, dpi_.unscale(lower_.position() - group.top));
        }
        layout();
        return 0;
      }
      break;
    }
    case WM_NOTIFY: {
      LRESULT result = 0;
      if (onNotify(reinterpret_cast<NMHDR*>(lParam), result)) return result;
      break;
    }
    case WM_TIMER:
      if (wParam == kFlushTimer) {
        KillTimer(window_, kFlushTimer);
        flushArmed_ = false;
        LARGE_INTEGER frequency{}, start{}, end{};
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        flushEvents();
        QueryPerformanceCounter(&end);
        // Telling a list view of new rows and scrolling it costs tens of milliseconds under
        // Wine: the next flush waits five times as long as this one took, so that a stream of
        // events leaves the window most of its time for the events and the user.
        const auto took = static_cast<UINT>((end.QuadPart - start.QuadPart) * 1000 /
                                            std::max<LONGLONG>(frequency.QuadPart, 1));
        flushInterval_ = std::clamp<UINT>(5 * took, kFlushMs, kMaxFlushMs);
        return 0;
      }
      break;
    case WM_SIZE:
      // The event list takes the left half again at every resize.
      eventsWidth_ = -1;
      layout();
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = {dpi_(640), dpi_(480)};
      info->ptMaxTrackSize = {dpi_(1600), dpi_(1200)};
      return 0;
    }
    case WM_CLOSE:
      if (CurrentDebugThread && CurrentDebugThread->InsideOwnNotification()) {
        closePending_ = true;
        return 0;
      }
      onClose();
      return 0;
    case WM_DESTROY:
      setMapFeedback(nullptr);
      SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
      window_ = nullptr;
      if (OnClosed) OnClosed();
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}

}  // namespace ostrel::ui
