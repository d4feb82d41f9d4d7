// TostrelForm: the main window. Its ten actions start, attach, suspend, resume and stop a
// debug session and open the other windows; the engine's nine notifications and its end
// handler arrive here on the main thread and become list rows, counters, check boxes and
// the footer's map status.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/debug_thread.h"
#include "stack/symbolizer.h"
#include "ui/detail_pages.h"
#include "ui/event_list.h"
#include "ui/pref_settings.h"
#include "ui/splitter.h"
#include "ui/text_table.h"
#include "ui/ui_common.h"

namespace ostrel {
class TMap;
}

namespace ostrel::ui {

class TostrelForm {
 public:
  enum Action {
    runAction,
    attachAction,
    suspendAction,
    resumeAction,
    stopAction,
    displayAction,
    settingsAction,
    exitAction,
    aboutAction,
    helpAction,
    kActionCount
  };

  TostrelForm();
  ~TostrelForm();
  TostrelForm(const TostrelForm&) = delete;
  TostrelForm& operator=(const TostrelForm&) = delete;

  /// Creates the window (hidden) with every control.
  bool create();
  void show(int showCommand);
  HWND handle() const { return window_; }
  /// Runs when the window has been destroyed (the program ends its message loop there).
  std::function<void()> OnClosed;

  // --- window state ---
  std::string TargetPath;
  std::string TargetParams;
  std::string ErrorLogPath;
  int32_t AttachedPid = 0;
  bool IsStarted = false;
  bool IsAttached = false;
  bool MapLoaded = false;
  int32_t CallStackCount = 0;
  TPrefSettings Settings;

  // --- actions (the toolbar's buttons run these) ---
  void runActionExecute();
  /// Run after the selection dialog: starts TargetPath with TargetParams, logs to
  /// ErrorLogPath (also the program's --run start).
  void startRun();
  void attachActionExecute();
  /// Attach after the process list and the folder question: attaches to AttachedPid.
  void startAttach();
  void suspendActionExecute();
  void resumeActionExecute();
  void stopActionExecute();
  void displayActionExecute();
  void settingsActionExecute();
  void exitActionExecute();
  void aboutActionExecute();
  void helpActionExecute();
  bool actionEnabled(Action action) const { return enabled_[action]; }
  static const char* actionCaption(Action action);

  // --- the engine's notifications, on the main thread ---
  void OnStackInfo(uint32_t excFrame, uint32_t stackBase, uint32_t stackTop, uint32_t esp);
  void OnDebugEvent(int32_t number, const DebugEventRecord& event, TDllInfo* dll,
                    const std::string& details, uint8_t severity);
  void OnStackOverflow(bool flag);
  void OnThreadCount(int32_t count);
  void OnProcessCount(int32_t count);
  void OnLastChance(bool flag);
  void OnWarning(const std::string& text);
  void OnExceptionCount(int32_t count);
  void debugThreadTerminated(TDebugThread& sender);

  /// Appends a row to the call stack list (also the engine's OnCallStackEntry); index -1
  /// is the exception address, "E:". A `scan` row is left out while the preferences say
  /// not to show them.
  void addCallStackRow(int32_t index, const std::string& address, const std::string& module,
                       const std::string& unitName, const std::string& method,
                       const std::string& line, uint8_t flag, const std::string& foundBy);
  /// What a click on the event list does: the selected event's page and call stack.
  void showEventDetails();
  /// The event list's "Save" command.
  void saveEvents();
  /// The call stack window for any stored log: the one at path, or ("Open exception
  /// log..." in the event list's menu) one the user picks. The log is resolved through the
  /// map of the program it names (the session's own map when it is that program's); the
  /// session's map and the footer stay as they are.
  void openLog(const std::string& path);
  void openLogExecute();
  /// "Write minidump..." in the event list's menu: a Normal minidump of the debugged
  /// process, written where the save dialog says; an error box names the file and the
  /// reason when it cannot be written. Does nothing without a running session.
  void writeMinidumpExecute();
  /// Whether a session runs with its debuggee (what "Write minidump..." needs).
  bool sessionRunning() const;
  /// The menu of the event list (read by tests).
  HMENU eventMenu() const { return eventMenu_; }

  // --- read by tests and screenshots ---
  EventList& eventList() { return events_; }
  DetailPages& detailPages() { return pages_; }
  HWND callStackList() const { return callStackView_; }
  HWND control(int id) const { return GetDlgItem(window_, id); }
  std::string footerText() const;
  /// Makes the lists show every row added so far (the views are told every 50 ms or more,
  /// depending on what telling them costs).
  void flushEvents() {
    events_.flush();
    processes_.flush();
    dlls_.flush();
  }

  // Control ids.
  static constexpr int kToolbar = 100;
  static constexpr int kEventList = 101;
  static constexpr int kCallStackList = 102;
  static constexpr int kDetailTabs = 103;
  static constexpr int kSummaryTabs = 104;
  static constexpr int kProcessesList = 105;
  static constexpr int kDllsList = 106;
  static constexpr int kFooter = 107;
  static constexpr int kVerticalSplitter = 108;
  static constexpr int kUpperSplitter = 109;
  static constexpr int kLowerSplitter = 110;
  static constexpr int kLastChanceCheck = 111;
  static constexpr int kStackDamagedCheck = 112;
  static constexpr int kExceptFrameValue = 113;
  static constexpr int kStackBaseValue = 114;
  static constexpr int kStackTopValue = 115;
  static constexpr int kStackPointerValue = 116;
  static constexpr int kThreadCountValue = 117;
  static constexpr int kProcessCountValue = 118;
  static constexpr int kExceptionsValue = 119;
  static constexpr int kMaxThreadsValue = 120;
  static constexpr int kMaxProcessesValue = 121;
  static constexpr int kCallStackGroup = 122;
  static constexpr int kFirstActionId = 1000;
  static constexpr int kSaveCommand = 2000;
  static constexpr int kOpenLogCommand = 2001;
  static constexpr int kWriteDumpCommand = 2002;

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  void createControls();
  void layout();
  void enableAction(Action action, bool enabled);
  TDebugCallbacks callbackTable();
  TNotifyEvent terminatedHandler();
  void beginSession();
  void clearCallStack();
  void mapStep();
  /// The map that names the addresses of the log at path, nullptr when there is none.
  const TMap* mapForLog(const std::string& path);
  /// Folders where maps of a displayed dump's modules are looked for besides the usual places.
  std::vector<std::string> mapFolders() const;
  void setMapStatus(const std::string& text);
  /// Runs after each notification: a close asked for while it ran is posted again.
  void afterNotification();
  void onClose();
  bool onNotify(NMHDR* header, LRESULT& result);
  void showSummaryPage(int page);
  void noteProcess(const DebugEventRecord& event, const TDbgEvent* record);
  void noteDll(const DebugEventRecord& event, const TDllInfo* dll);
  void raiseMaximum(int valueId, int maximumId, int32_t count);

  HWND window_ = nullptr;
  Dpi dpi_;
  std::array<bool, kActionCount> enabled_{};
  HWND toolbar_ = nullptr;
  HWND callStackView_ = nullptr;
  HWND summaryTabs_ = nullptr;
  HWND processesView_ = nullptr;
  HWND dllsView_ = nullptr;
  TextTable processes_, dlls_;  // the rows of the two summary lists
  HWND footer_ = nullptr;
  HWND tooltip_ = nullptr;
  HMENU eventMenu_ = nullptr;
  EventList events_;
  DetailPages pages_;
  Splitter vertical_, upper_, lower_;
  // Splitter positions in 96-dpi pixels: the event list's width (-1: half the area), the
  // heights of the detail pages and of the call stack group.
  int eventsWidth_ = -1;
  int pagesHeight_ = 224;
  int callStackHeight_ = 84;
  // The executable whose map is loaded, and the one whose map was last looked for.
  std::string mapOwner_;
  std::string mapTriedFor_;
  bool flushArmed_ = false;  // the flush timer runs
  UINT flushInterval_ = 50;  // ms from the first unlisted row to the next flush
  // The footer's map status, shown again when a session starts after an error text.
  std::string mapStatus_ = "|";
  // Maps of logs opened by the user, kept apart from the session's: the last one loaded
  // and the program it belongs to.
  std::unique_ptr<TMap> logMap_;
  // Names the call stack entries of the session's modules other than the program (whose
  // names come from the session's map); made at every Run and Attach.
  std::unique_ptr<Symbolizer> symbolizer_;
  /// The engine's OnCallStackEntry: the row, named as a click on the event would name it.
  void onCallStackEntry(int32_t index, const std::string& address, const std::string& module,
                        const std::string& unitName, const std::string& method,
                        const std::string& line, uint8_t flag, const std::string& foundBy);
  /// Unit, routine and line of a listed call stack entry.
  SymbolInfo namesOf(const TListedStackEntry& entry, Address codeBase, Address mainBase);
  std::string logMapOwner_;
  // Sessions are numbered as they start; the one whose error was shown.
  uint64_t sessionSerial_ = 0;
  uint64_t errorShownFor_ = 0;
  // DLL loads of the session so far (the DLLs page numbers its rows by it).
  int32_t dllLoads_ = 0;
  // A WM_CLOSE arrived inside a notification of the session; it is posted again after it.
  bool closePending_ = false;
};

}  // namespace ostrel::ui
