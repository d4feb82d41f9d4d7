// The main window driven by messages, debugging the sample program for real: the engine,
// the hand-off through the window's message queue, the list, the pages and the footer.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

#include "common/format.h"
#include "debuggee_codes.h"
#include "engine/debug_thread.h"
#include "gui_support.h"
#include "mapfile/map.h"
#include "minidump/minidump.h"
#include "platform/win32/win32_host_system.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/window_sync.h"
#include "report/program_lifetime.h"
#include "ui/call_stack_form.h"
#include "ui/main_form.h"
#include "ui/process_list.h"
#include "ui/select_app.h"
#include "ui/start_request.h"
#include "ui/ui_common.h"

namespace ostrel::gtest_gui {
namespace {

using Form = ui::TostrelForm;

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::setUiDialogs(&dialogs);
    sync = std::make_unique<WindowSync>();
    program = std::make_unique<report::ProgramLifetime>(
        platform, *sync, system, [this](const std::string& text) { warnings.push_back(text); });
    form = std::make_unique<Form>();
    ASSERT_TRUE(form->create());
    form->show(SW_SHOWNORMAL);
    logs = freshFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }

  void TearDown() override {
    if (form && form->handle() != nullptr) SendMessageA(form->handle(), WM_CLOSE, 0, 0);
    form.reset();
    program.reset();
    sync.reset();
    ui::setUiDialogs(nullptr);
  }

  /// Starts the sample with the scenario as Run does after the selection dialog.
  void start(const std::string& scenario, const std::string& exe = samplePath()) {
    form->TargetPath = exe;
    form->TargetParams = scenario;
    form->ErrorLogPath = logs;
    form->startRun();
  }

  /// Pumps until the current session has ended (after a Stop); the list is then up to date.
  bool waitForEnd() {
    const bool ended =
        pumpUntil([] { return CurrentDebugThread && CurrentDebugThread->Finished(); }, 60000);
    form->flushEvents();
    return ended;
  }

  /// Runs the scenario until its main process has exited and that event is listed. The
  /// session itself waits on for events, as a session does, until the next one replaces it.
  bool runToEnd(const std::string& scenario, const std::string& exe = samplePath()) {
    start(scenario, exe);
    return pumpUntil(
        [&] {
          form->flushEvents();
          return !form->IsStarted && findRow("Exit process") >= 0;
        },
        60000);
  }

  std::string cell(int row, int column) {
    return ui::listViewText(form->eventList().handle(), row, column);
  }
  int rows() {
    return static_cast<int>(SendMessageA(form->eventList().handle(), LVM_GETITEMCOUNT, 0, 0));
  }
  std::string value(int id) { return text(form->control(id)); }
  bool checked(int id) { return SendMessageA(form->control(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
  /// Clicks a row of the event list: selection, then the click notification.
  void clickRow(int row) {
    HWND view = form->eventList().handle();
    LVITEMA state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(view, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
    NMITEMACTIVATE click{};
    click.hdr.hwndFrom = view;
    click.hdr.idFrom = Form::kEventList;
    click.hdr.code = NM_CLICK;
    click.iItem = row;
    SendMessageA(form->handle(), WM_NOTIFY, Form::kEventList, reinterpret_cast<LPARAM>(&click));
  }
  /// The Routine column of the call stack window that open() shows, "NAME;" a row.
  std::string routinesShown(const std::function<void()>& open) {
    std::string routines;
    DialogScript script({[&](HWND d) {
      HWND list = GetDlgItem(d, ui::TdisplayCallStackForm::kCallStackListView);
      for (int i = 0; i < SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); ++i)
        routines += ui::listViewText(list, i, 4) + ";";
      SendMessageA(d, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }});
    open();
    EXPECT_TRUE(script.done());
    return routines;
  }
  int findRow(const std::string& event, int from = 0) {
    for (int i = from; i < rows(); ++i)
      if (cell(i, 1) == event) return i;
    return -1;
  }

  ScriptedDialogs dialogs;
  Win32Platform platform;
  Win32HostSystem system;
  std::unique_ptr<WindowSync> sync;
  std::unique_ptr<report::ProgramLifetime> program;
  std::unique_ptr<Form> form;
  std::vector<std::string> warnings;
  std::string logs;
};

TEST_F(MainFormTest, LastChanceRunListsColouredRowsAndResolvesTheCallStack) {
  ASSERT_TRUE(runToEnd("deep-av"));
  ASSERT_EQ(static_cast<size_t>(rows()), DebugEvents->count());
  EXPECT_EQ(cell(0, 0), "1");
  EXPECT_EQ(cell(0, 1), "Create process");
  // The loader's breakpoint, then the access violation inside the executable: yellow at
  // its first chance, red at its last.
  const int breakpoint = findRow("Exception - First chance");
  int first = breakpoint;
  while (first >= 0 && cell(first, 2).find("Err:$C0000005") == std::string::npos)
    first = findRow("Exception - First chance", first + 1);
  const int last = findRow("Exception - Last chance");
  ASSERT_GE(breakpoint, 0);
  ASSERT_GT(first, breakpoint);
  ASSERT_GT(last, first);
  EXPECT_EQ(form->eventList().row(breakpoint).severity, 0);
  EXPECT_EQ(form->eventList().row(first).severity, 1);
  EXPECT_EQ(form->eventList().row(last).severity, 2);
  EXPECT_EQ(ui::severityColour(1), RGB(255, 255, 0));
  EXPECT_EQ(ui::severityColour(2), RGB(255, 0, 0));
  EXPECT_EQ(cell(last, 3), hexP(CurrentDebugThread->MainProcessId));

  // The engine's warning about the stored log, the summary and the map beside the sample.
  ASSERT_FALSE(dialogs.boxes.empty());
  EXPECT_EQ(
      dialogs.boxes[0].text.rfind("Last chance exception occurred!\r\rException log stored to ", 0),
      0u);
  EXPECT_TRUE(checked(Form::kLastChanceCheck));
  EXPECT_TRUE(form->actionEnabled(Form::displayAction));
  EXPECT_EQ(form->footerText(), "Map file loaded.");
  EXPECT_TRUE(form->MapLoaded);

  // The summary pages: the sample with its exit code, and the DLLs loaded at its end (the
  // test DLL the sample loads and frees again is gone).
  HWND processes = form->control(Form::kProcessesList), dlls = form->control(Form::kDllsList);
  ASSERT_EQ(SendMessageA(processes, LVM_GETITEMCOUNT, 0, 0), 1);
  EXPECT_EQ(ui::listViewText(processes, 0, 2), "Exited ($C0000005)");
  EXPECT_EQ(ui::listViewText(processes, 0, 3), hexP(CurrentDebugThread->MainProcessId));
  std::string loaded;
  for (int i = 0; i < SendMessageA(dlls, LVM_GETITEMCOUNT, 0, 0); ++i)
    loaded += ui::listViewText(dlls, i, 0) + " " + ui::listViewText(dlls, i, 1) + " " +
              ui::listViewText(dlls, i, 2) + ";";
  CharLowerA(loaded.data());
  EXPECT_EQ(loaded.rfind("1 ntdll.dll $", 0), 0u) << loaded;  // in load order
  EXPECT_NE(loaded.find("kernel32.dll $"), std::string::npos) << loaded;
  EXPECT_EQ(loaded.find("$10000000"), std::string::npos) << loaded;

  // The rows the session published at the last chance came named already.
  HWND published = form->callStackList();
  ASSERT_GT(SendMessageA(published, LVM_GETITEMCOUNT, 0, 0), 2);
  EXPECT_EQ(ui::listViewText(published, 0, 0) + ui::listViewText(published, 0, 4) +
                ui::listViewText(published, 0, 6),
            "E:faultingRoutinecontext");
  EXPECT_EQ(ui::listViewText(published, 1, 4), "outerRoutine");

  // A click on the last-chance row: its page, and its call stack resolved through the map.
  clickRow(last);
  EXPECT_EQ(form->detailPages().currentCode(), 1);
  HWND stack = form->callStackList();
  const int entries = static_cast<int>(SendMessageA(stack, LVM_GETITEMCOUNT, 0, 0));
  ASSERT_GT(entries, 0);
  bool outer = false;
  for (int i = 0; i < entries; ++i)
    outer = outer || ui::listViewText(stack, i, 4) == "outerRoutine";
  EXPECT_TRUE(outer);
  EXPECT_EQ(text(form->control(Form::kCallStackGroup)),
            std::to_string(entries) + " Call Stack Entrie(s)");
  // The exception address first, then the chain, each saying how it was found; the
  // system's modules named by their exports.
  auto row = [&](int i) {
    std::string cells;
    for (int c : {0, 2, 4, 6}) cells += ui::listViewText(stack, i, c) + "|";
    return cells;
  };
  EXPECT_EQ(row(0), "E:|dbg_sample.exe|faultingRoutine|context|");
  EXPECT_EQ(row(1), "0|dbg_sample.exe|outerRoutine|call|");
  EXPECT_EQ(row(2), "1|dbg_sample.exe|main|call|");
  int scanRows = 0, namedDllRows = 0;
  for (int i = 0; i < entries; ++i) {
    scanRows += ui::listViewText(stack, i, 6) == "scan";
    namedDllRows += ui::listViewText(stack, i, 2) == "kernel32.dll" &&
                    ui::listViewText(stack, i, 4).rfind("BaseThreadInitThunk", 0) == 0;
  }
  EXPECT_GT(scanRows, 0);
  EXPECT_GT(namedDllRows, 0);
  // Without the scan-only entries the others keep their numbers.
  form->Settings.ShowScanEntries = false;
  clickRow(last);
  EXPECT_EQ(SendMessageA(stack, LVM_GETITEMCOUNT, 0, 0), entries - scanRows);
  EXPECT_EQ(row(2), "1|dbg_sample.exe|main|call|");
  for (int i = 0; i < entries - scanRows; ++i) EXPECT_NE(ui::listViewText(stack, i, 6), "scan");
  form->Settings.ShowScanEntries = true;
  // A click on a row of another kind empties the list and keeps the caption.
  clickRow(0);
  EXPECT_EQ(SendMessageA(stack, LVM_GETITEMCOUNT, 0, 0), 0);
  EXPECT_EQ(text(form->control(Form::kCallStackGroup)),
            std::to_string(entries - scanRows) + " Call Stack Entrie(s)");
}

TEST_F(MainFormTest, DisplayShowsTheStoredLogResolvedThroughTheMap) {
  // No minidump beside the log: the names come from the log and the map alone.
  form->Settings.Minidump = MinidumpKind::None;
  ASSERT_TRUE(runToEnd("deep-av"));
  ASSERT_TRUE(form->actionEnabled(Form::displayAction));
  std::vector<std::string> rows;
  std::string memo;
  DialogScript script({[&](HWND d) {
    HWND list = GetDlgItem(d, ui::TdisplayCallStackForm::kCallStackListView);
    for (int i = 0; i < SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); ++i) {
      std::string row;
      for (int c = 0; c < 6; ++c) row += ui::listViewText(list, i, c) + "|";
      rows.push_back(row);
    }
    memo = text(GetDlgItem(d, ui::TdisplayCallStackForm::kMessageMemo));
    SendMessageA(d, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }});
  SendMessageA(form->handle(), WM_COMMAND, Form::kFirstActionId + Form::displayAction, 0);
  ASSERT_TRUE(script.done());
  EXPECT_NE(memo.find("\r\nGLOBAL INFORMATIONS\r\n"), std::string::npos) << memo;
  EXPECT_NE(memo.find("\tException code: "), std::string::npos);
  // The error address in the routine that faulted, the separator, then the stored stack
  // with the modules captured with it.
  ASSERT_GE(rows.size(), 3u);
  EXPECT_EQ(rows[0].rfind("E:|$", 0), 0u) << rows[0];
  EXPECT_NE(rows[0].find("|faultingRoutine|"), std::string::npos) << rows[0];
  EXPECT_EQ(rows[1], "||||||");
  bool outer = false;
  for (size_t i = 2; i < rows.size(); ++i)
    outer = outer || (rows[i].find("|dbg_sample.exe|") != std::string::npos &&
                      rows[i].find("|outerRoutine|") != std::string::npos);
  EXPECT_TRUE(outer);

  // The same log picked with "Open exception log...": no module names come with it.
  dialogs.openAnswers = {CurrentDebugThread->lastChanceResults().ErrorLogName};
  std::vector<std::string> picked;
  DialogScript again({[&](HWND d) {
    HWND list = GetDlgItem(d, ui::TdisplayCallStackForm::kCallStackListView);
    for (int i = 0; i < SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); ++i)
      picked.push_back(ui::listViewText(list, i, 2) + "|" + ui::listViewText(list, i, 4));
    SendMessageA(d, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }});
  SendMessageA(form->handle(), WM_COMMAND, Form::kOpenLogCommand, 0);
  ASSERT_TRUE(again.done());
  ASSERT_EQ(picked.size(), rows.size());
  EXPECT_EQ(picked[0], " |faultingRoutine");
  for (size_t i = 2; i < picked.size(); ++i) EXPECT_EQ(picked[i].rfind("|", 0), 0u) << picked[i];
}

/// Cells of every row of the call stack window that open() shows ("c0|c2|..." for the
/// columns given), and its memo.
struct ShownStack {
  std::vector<std::string> rows;
  std::string memo;
};
ShownStack stackShown(const std::function<void()>& open, std::vector<int> columns) {
  ShownStack shown;
  DialogScript script({[&](HWND d) {
    HWND list = GetDlgItem(d, ui::TdisplayCallStackForm::kCallStackListView);
    for (int i = 0; i < SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); ++i) {
      std::string row;
      for (int c : columns) row += ui::listViewText(list, i, c) + "|";
      shown.rows.push_back(row);
    }
    shown.memo = text(GetDlgItem(d, ui::TdisplayCallStackForm::kMessageMemo));
    SendMessageA(d, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }});
  open();
  EXPECT_TRUE(script.done());
  return shown;
}

bool hasRowStarting(const std::vector<std::string>& rows, const std::string& start) {
  for (const std::string& row : rows)
    if (row.rfind(start, 0) == 0) return true;
  return false;
}

TEST_F(MainFormTest, TheDumpOfACrashInADllShowsItsChainAndNamesTheLogsDllFrames) {
  ASSERT_TRUE(runToEnd("dll-map-av"));
  const TLastChanceResults stored = CurrentDebugThread->lastChanceResults();
  ASSERT_FALSE(stored.DumpName.empty());
  const size_t boxes = dialogs.boxes.size();

  // The dump picked with "Open exception log...": the crashed thread's walked stack, each
  // entry saying how it was found, and the report in the memo.
  dialogs.openAnswers = {stored.DumpName};
  const ShownStack dump = stackShown(
      [&] { SendMessageA(form->handle(), WM_COMMAND, Form::kOpenLogCommand, 0); }, {0, 2, 4, 6});
  ASSERT_GE(dump.rows.size(), 4u);
  EXPECT_EQ(dump.rows[0], "E:|dbg_chaindll.dll|chainFault|context|");
  const std::vector<std::string> chain = {"0|dbg_chaindll.dll|chainMiddle|",
                                          "1|dbg_chaindll.dll|ChainEnter|",
                                          "2|dbg_sample.exe|dllMapAv|"};
  for (size_t i = 0; i < chain.size(); ++i) {
    const std::string& row = dump.rows[i + 1];
    ASSERT_EQ(row.rfind(chain[i], 0), 0u) << row;
    const std::string foundBy = row.substr(chain[i].size(), row.size() - chain[i].size() - 1);
    EXPECT_TRUE(foundBy == "frame" || foundBy == "call" || foundBy == "scan") << row;
  }
  EXPECT_NE(dump.memo.find("\r\nException: $C0000005 at $"), std::string::npos) << dump.memo;
  EXPECT_NE(dump.memo.find(" (crashed)\r\n"), std::string::npos) << dump.memo;
  EXPECT_NE(dump.memo.find("\r\nModules:\r\n"), std::string::npos) << dump.memo;

  // Display: the log's stack with the dump beside it names its DLL frames and modules.
  auto display = [&] {
    SendMessageA(form->handle(), WM_COMMAND, Form::kFirstActionId + Form::displayAction, 0);
  };
  const ShownStack log = stackShown(display, {0, 2, 3, 4});
  ASSERT_FALSE(log.rows.empty());
  EXPECT_EQ(log.rows[0], "E:|dbg_chaindll.dll|dbg_chaindll|chainFault|");
  EXPECT_TRUE(hasRowStarting(log.rows, "0|dbg_chaindll.dll|dbg_chaindll|chainMiddle|"));
  EXPECT_TRUE(hasRowStarting(log.rows, "1|dbg_chaindll.dll|dbg_chaindll|ChainEnter|"));
  EXPECT_TRUE(hasRowStarting(log.rows, "2|dbg_sample.exe|dbg_sample|dllMapAv|"));
  // The same log opened by itself names its system DLL frames by their exports, too.
  dialogs.openAnswers = {stored.ErrorLogName};
  const ShownStack opened = stackShown(
      [&] { SendMessageA(form->handle(), WM_COMMAND, Form::kOpenLogCommand, 0); }, {0, 2, 3, 4});
  EXPECT_EQ(opened.rows, log.rows);

  // Without the dump the program's map names the program's frames only, as ever.
  ASSERT_TRUE(MoveFileA(stored.DumpName.c_str(), (stored.DumpName + ".away").c_str()));
  const ShownStack alone = stackShown(display, {0, 2, 3, 4});
  ASSERT_FALSE(alone.rows.empty());
  EXPECT_EQ(alone.rows[0], "||||");
  EXPECT_FALSE(hasRowStarting(alone.rows, "0|"));
  EXPECT_FALSE(hasRowStarting(alone.rows, "1|"));
  EXPECT_TRUE(hasRowStarting(alone.rows, "2|dbg_sample.exe|dbg_sample|dllMapAv|"));
  EXPECT_EQ(dialogs.boxes.size(), boxes);  // no error on the way
}

TEST_F(MainFormTest, WriteMinidumpSnapshotsTheRunningDebuggeeWithItsThreads) {
  // Nothing to write without a session.
  SendMessageA(form->handle(), WM_COMMAND, Form::kWriteDumpCommand, 0);
  EXPECT_TRUE(dialogs.saveRequests.empty());

  start("hold 4 30");
  ASSERT_TRUE(pumpUntil([&] {
    form->flushEvents();
    for (int row = findRow("Output debug string"); row >= 0;
         row = findRow("Output debug string", row + 1))
      if (cell(row, 2).find(kHeldText) != std::string::npos) return true;
    return false;
  }));
  ASSERT_TRUE(form->sessionRunning());
  const uint32_t pid = CurrentDebugThread->MainProcessId;
  // The threads of the debugged process that are alive now, from its events.
  std::set<uint32_t> alive;
  for (size_t i = 0; i < DebugEvents->count(); ++i) {
    const DebugEventRecord& e = DebugEvents->at(i)->DebugEvent;
    if (e.dwProcessId != pid) continue;
    if (e.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT_CODE ||
        e.dwDebugEventCode == CREATE_THREAD_DEBUG_EVENT_CODE)
      alive.insert(e.dwThreadId);
    if (e.dwDebugEventCode == EXIT_THREAD_DEBUG_EVENT_CODE) alive.erase(e.dwThreadId);
  }
  ASSERT_GE(alive.size(), 5u);

  const std::string file = logs + "\\snapshot.dmp";
  auto writeTo = [&](const std::string& path) {
    dialogs.saveAnswers = {path};
    SendMessageA(form->handle(), WM_COMMAND, Form::kWriteDumpCommand, 0);
  };
  auto threadsIn = [&](const std::string& path) {
    std::string error;
    std::unique_ptr<Minidump> dump = Minidump::open(path, error);
    std::set<uint32_t> ids;
    if (dump == nullptr) {
      ADD_FAILURE() << error;
      return ids;
    }
    EXPECT_FALSE(dump->hasException);
    EXPECT_TRUE(dump->hasMiscInfo && dump->miscInfo.processId == pid);
    bool sample = false;
    for (const DumpModule& m : dump->modules)
      sample = sample || lstrcmpiA(m.name.c_str(), samplePath().c_str()) == 0;
    EXPECT_TRUE(sample);
    for (const DumpThread& t : dump->threads) ids.insert(t.id);
    return ids;
  };
  writeTo(file);
  ASSERT_EQ(dialogs.saveRequests.size(), 1u);
  EXPECT_EQ(dialogs.saveRequests[0], "Write minidump|Minidump|*.dmp|*.dmp|" +
                                         samplePath().substr(0, samplePath().size() - 4) +
                                         ".dmp|confirm");
  ASSERT_TRUE(dialogs.boxes.empty()) << dialogs.boxes[0].text;
  std::set<uint32_t> written = threadsIn(file);
  for (uint32_t id : alive) EXPECT_EQ(written.count(id), 1u) << id;

  // Written again over it, as the save dialog's prompt allowed: replaced by a whole new dump.
  std::ofstream(file, std::ios::binary | std::ios::trunc) << "old";
  writeTo(file);
  ASSERT_TRUE(dialogs.boxes.empty()) << dialogs.boxes[0].text;
  written = threadsIn(file);
  for (uint32_t id : alive) EXPECT_EQ(written.count(id), 1u) << id;

  // A folder that does not exist: the error names the file, and the session runs on.
  const std::string nowhere = logs + "\\missing\\snapshot.dmp";
  writeTo(nowhere);
  ASSERT_EQ(dialogs.boxes.size(), 1u);
  EXPECT_EQ(dialogs.boxes[0].text.rfind("Minidump could not be written to " + nowhere + ": ", 0),
            0u)
      << dialogs.boxes[0].text;
  EXPECT_EQ(dialogs.boxes[0].kind, ui::BoxKind::Error);
  EXPECT_TRUE(form->sessionRunning());

  form->stopActionExecute();
  ASSERT_TRUE(waitForEnd());
  EXPECT_FALSE(form->sessionRunning());
  writeTo(file);
  EXPECT_EQ(dialogs.saveRequests.size(), 3u);  // no dialog once the session has ended
}

TEST_F(MainFormTest, ALogOpenedBetweenSessionsIsResolvedThroughItsProgramsMap) {
  ASSERT_TRUE(runToEnd("deep-av"));
  const std::string log = CurrentDebugThread->lastChanceResults().ErrorLogName;
  ASSERT_FALSE(log.empty());
  // A new start of the window: no map loaded, the log opened as from the command line.
  SendMessageA(form->handle(), WM_CLOSE, 0, 0);
  form = std::make_unique<Form>();
  ASSERT_TRUE(form->create());
  form->show(SW_SHOWNORMAL);
  ASSERT_FALSE(form->MapLoaded);
  const std::string routines = routinesShown([&] { form->openLog(log); });
  EXPECT_NE(routines.find("outerRoutine;"), std::string::npos) << routines;
  // The log's map is its own: no session map came with it.
  EXPECT_FALSE(form->MapLoaded);
  EXPECT_EQ(form->footerText(), "|");
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST_F(MainFormTest, ALogOfAnotherProgramLeavesTheSessionsNamesAlone) {
  // Program B: the sample under another name, whose map calls outerRoutine otherRoutine.
  const std::string other = logs + "\\other.exe";
  ASSERT_TRUE(CopyFileA(samplePath().c_str(), other.c_str(), FALSE));
  std::string map = fileText(samplePath().substr(0, samplePath().size() - 4) + ".map");
  for (size_t at = map.find("outerRoutine"); at != std::string::npos;
       at = map.find("outerRoutine", at))
    map.replace(at, 5, "other");
  std::ofstream(logs + "\\other.map", std::ios::binary) << map;
  ASSERT_TRUE(runToEnd("deep-av", other));
  const std::string otherLog = CurrentDebugThread->lastChanceResults().ErrorLogName;

  // Program A's session has ended; then B's log is opened.
  ASSERT_TRUE(runToEnd("deep-av"));
  EXPECT_NE(routinesShown([&] { form->openLog(otherLog); }).find("otherRoutine;"),
            std::string::npos);

  // A's rows, A's log and the footer still speak of A.
  EXPECT_EQ(form->footerText(), "Map file loaded.");
  clickRow(findRow("Exception - Last chance"));
  std::string stack;
  for (int i = 0; i < SendMessageA(form->callStackList(), LVM_GETITEMCOUNT, 0, 0); ++i)
    stack += ui::listViewText(form->callStackList(), i, 4) + ";";
  EXPECT_NE(stack.find("outerRoutine;"), std::string::npos) << stack;
  EXPECT_EQ(stack.find("otherRoutine"), std::string::npos) << stack;
  const std::string displayed = routinesShown(
      [&] { SendMessageA(form->handle(), WM_COMMAND, Form::kFirstActionId + Form::displayAction, 0); });
  EXPECT_NE(displayed.find("outerRoutine;"), std::string::npos) << displayed;
  EXPECT_EQ(displayed.find("otherRoutine"), std::string::npos) << displayed;
}

TEST_F(MainFormTest, RunArgumentsReachTheDebuggeeAsGiven) {
  const std::vector<std::string> given = {"two words", "say \"hi\"", "C:\\dir with blank\\", ""};
  std::vector<std::string> args = {"--errdir", logs, "--run", samplePath(), "args"};
  args.insert(args.end(), given.begin(), given.end());
  const ui::StartRequest request = ui::parseStartRequest(args);
  ASSERT_TRUE(request.run);
  ASSERT_TRUE(runToEnd(request.parameters, request.exe));
  std::vector<std::string> received;
  for (int row = findRow("Output debug string"); row >= 0;
       row = findRow("Output debug string", row + 1))
    received.push_back(cell(row, 2));
  ASSERT_EQ(received.size(), given.size());
  for (size_t i = 0; i < given.size(); ++i)
    EXPECT_NE(received[i].find("[" + std::to_string(i + 1) + "]" + given[i]), std::string::npos)
        << received[i];
}

TEST_F(MainFormTest, DllsAreNumberedByTheirLoadAmongAllLoads) {
  // The test DLL loaded and freed twice, then loaded for good.
  ASSERT_TRUE(runToEnd("dll-cycles 2 keep"));
  std::vector<Address> loads;
  for (size_t i = 0; i < DebugEvents->count(); ++i)
    if (DebugEvents->at(i)->DebugEvent.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT_CODE)
      loads.push_back(DebugEvents->at(i)->DebugEvent.u.LoadDll.lpBaseOfDll);
  HWND dlls = form->control(Form::kDllsList);
  const int listed = static_cast<int>(SendMessageA(dlls, LVM_GETITEMCOUNT, 0, 0));
  ASSERT_GT(listed, 0);
  for (int i = 0; i < listed; ++i) {
    // A DLL loaded now carries the number of its latest load.
    const std::string base = ui::listViewText(dlls, i, 2);
    size_t latest = loads.size();
    while (latest > 0 && hexP(loads[latest - 1]) != base) --latest;
    EXPECT_EQ(ui::listViewText(dlls, i, 0), std::to_string(latest)) << base;
  }
}

TEST_F(MainFormTest, ALongSessionAnswersClicksAndStopLeavesNoHandleBehind) {
  const DWORD before = handleCount();
  // Threads started and ended, the test DLL loaded and freed, debug strings: a short soak.
  start("soak 300 600 20000");
  // (Telling the view of new rows costs milliseconds: the wait looks at the records only.)
  ASSERT_TRUE(pumpUntil([&] { return form->eventList().size() > 1500; }));
  // While the events stream, a click on a row shows that row's page.
  form->flushEvents();
  for (const uint32_t code : {CREATE_THREAD_DEBUG_EVENT_CODE, UNLOAD_DLL_DEBUG_EVENT_CODE}) {
    int row = 500;
    while (row < 1500 && form->eventList().row(row).event->DebugEvent.dwDebugEventCode != code)
      ++row;
    ASSERT_LT(row, 1500) << code;
    clickRow(row);
    EXPECT_EQ(static_cast<uint32_t>(form->detailPages().currentCode()), code);
  }
  EXPECT_TRUE(form->IsStarted) << "the soak ended before the clicks";
  form->stopActionExecute();
  ASSERT_TRUE(waitForEnd());
  // Every handle the session's events delivered is closed again.
  EXPECT_LE(handleCount(), before + 4);
}

TEST_F(MainFormTest, CallStackCountStartsAgainWithEachSession) {
  // The last-chance exception's stack is published into the list while the session runs.
  ASSERT_TRUE(runToEnd("deep-av"));
  const auto listed = [&] {
    return static_cast<int>(SendMessageA(form->callStackList(), LVM_GETITEMCOUNT, 0, 0));
  };
  const int first = listed();
  ASSERT_GT(first, 0);
  ASSERT_TRUE(runToEnd("deep-av"));
  EXPECT_EQ(listed(), first);
  EXPECT_EQ(form->CallStackCount, first);
  EXPECT_EQ(text(form->control(Form::kCallStackGroup)),
            std::to_string(first) + " Call Stack Entrie(s)");
}

TEST_F(MainFormTest, ActionStatesFollowRunSuspendResumeAndStop) {
  auto states = [&] {
    std::string s;
    for (auto a : {Form::runAction, Form::attachAction, Form::suspendAction, Form::resumeAction,
                   Form::stopAction})
      s += form->actionEnabled(a) ? '1' : '0';
    return s;
  };
  EXPECT_EQ(states(), "11001");  // idle
  start("sleep 30");
  EXPECT_EQ(states(), "00101");  // debugging
  ASSERT_TRUE(pumpUntil(
      [&] { return findRow("Output debug string") >= 0 || (form->flushEvents(), false); }));
  const uint32_t pid = CurrentDebugThread->MainProcessId;
  form->suspendActionExecute();
  EXPECT_EQ(states(), "00010");  // suspended: Stop waits for Resume
  form->resumeActionExecute();
  EXPECT_EQ(states(), "00101");
  form->stopActionExecute();
  EXPECT_EQ(states(), "11001");  // idle again: Stop keeps its own state, and Resume
  ASSERT_TRUE(waitForEnd());
  EXPECT_TRUE(pumpUntil([&] { return !processAlive(pid); }));
  // Stop while idle only enables Run and Attach and disables Suspend.
  form->stopActionExecute();
  EXPECT_EQ(states(), "11001");
}

TEST_F(MainFormTest, RunThroughTheSelectionDialogAndSaveTheList) {
  // Save with nothing listed says so and asks nothing.
  form->saveEvents();
  ASSERT_EQ(dialogs.boxes.size(), 1u);
  EXPECT_EQ(dialogs.boxes[0].text, "The debug event section is empty!");
  EXPECT_TRUE(dialogs.saveRequests.empty());

  {
    DialogScript script({[&](HWND d) {
      type(d, ui::TselectAppForm::kAppNameEdit, samplePath());
      type(d, ui::TselectAppForm::kAppParamsEdit, "exit 0");
      type(d, ui::TselectAppForm::kErrorPathEdit, logs);
      click(d, IDOK);
    }});
    SendMessageA(form->handle(), WM_COMMAND, Form::kFirstActionId + Form::runAction, 0);
    EXPECT_TRUE(script.done());
  }
  EXPECT_EQ(form->TargetPath, samplePath());
  ASSERT_TRUE(pumpUntil([&] {
    form->flushEvents();
    return !form->IsStarted && findRow("Exit process") >= 0;
  }));

  const std::string file = logs + "\\events.txt";
  dialogs.saveAnswers.push_back(file);
  form->saveEvents();
  ASSERT_EQ(dialogs.saveRequests.size(), 1u);
  EXPECT_EQ(dialogs.saveRequests[0], "Save debug events|Txt|*.txt|*.txt|" + samplePath() + ".txt");
  std::ifstream in(file, std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Title, date, an empty line, then one line per row (number, PID, TID, event, details).
  EXPECT_EQ(saved.rfind(samplePath() + " DEBUG EVENTS\r\nDate: ", 0), 0u) << saved;
  EXPECT_NE(saved.find("\r\n\r\n1 " + cell(0, 3) + " " + cell(0, 4) + " Create process \r\n"),
            std::string::npos)
      << saved;
  EXPECT_NE(
      saved.find("Exception " +
                 DebugEvents->at(static_cast<size_t>(findRow("Exception - First chance")))->Info +
                 "\r\n"),
      std::string::npos);
}

TEST_F(MainFormTest, TheListGrowsWhileEventsStream) {
  start("stream 30");
  // Nothing here tells the view of new rows: only the window's own flush does.
  EXPECT_TRUE(pumpUntil([&] { return rows() > 100; }));
  EXPECT_TRUE(form->IsStarted);
  form->stopActionExecute();
  EXPECT_TRUE(waitForEnd());
}

TEST_F(MainFormTest, EachFailingSessionSaysWhyAndTheNextOneClearsTheFooter) {
  ASSERT_TRUE(runToEnd("exit 0"));
  ASSERT_EQ(form->footerText(), "Map file loaded.");
  // Two failures in a row: each says so.
  for (size_t failure = 1; failure <= 2; ++failure) {
    start("", logs + "\\missing.exe");
    ASSERT_TRUE(pumpUntil([] { return CurrentDebugThread && CurrentDebugThread->Finished(); }));
    ASSERT_TRUE(pumpUntil([&] { return dialogs.boxes.size() == failure; })) << failure;
    EXPECT_EQ(dialogs.boxes.back().text.rfind("Debugger error! ", 0), 0u)
        << dialogs.boxes.back().text;
    EXPECT_EQ(dialogs.boxes.back().kind, ui::BoxKind::Warning);
    EXPECT_EQ(form->footerText(), dialogs.boxes.back().text);
    EXPECT_FALSE(form->IsStarted);
  }
  // The next session of the program whose map is loaded: the footer says so again.
  ASSERT_TRUE(runToEnd("exit 0"));
  EXPECT_EQ(form->footerText(), "Map file loaded.");
}

TEST_F(MainFormTest, HelpOpensTheHelpFileBesideTheProgram) {
  char exe[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  const std::string help = std::string(exe).substr(0, std::strlen(exe) - 4) + ".chm";
  DeleteFileA(help.c_str());
  SendMessageA(form->handle(), WM_COMMAND, Form::kFirstActionId + Form::helpAction, 0);
  ASSERT_EQ(dialogs.boxes.size(), 1u);
  EXPECT_EQ(dialogs.boxes[0].text, help + "\rnot available - sorry!");

  // The help file built for ostrel.exe, as if it were this program's.
  std::string built = OSTREL_HELP;
  if (!built.empty() && built[0] == '/') built = "Z:" + built;
  ASSERT_TRUE(CopyFileA(built.c_str(), help.c_str(), FALSE)) << built;
  SendMessageA(form->handle(), WM_COMMAND, Form::kFirstActionId + Form::helpAction, 0);
  HWND viewer = nullptr;
  EXPECT_TRUE(pumpUntil([&] { return (viewer = FindWindowA("HH Parent", nullptr)) != nullptr; }));
  EXPECT_EQ(dialogs.boxes.size(), 1u);  // no error this time
  if (viewer != nullptr) {
    EXPECT_EQ(text(viewer), "Ostrel Help");
    PostMessageA(viewer, WM_CLOSE, 0, 0);
    EXPECT_TRUE(pumpUntil([&] { return !IsWindow(viewer); }));
  }
  DeleteFileA(help.c_str());
}

TEST_F(MainFormTest, CancelledAttachLeavesTheActionsAsTheyWere) {
  DialogScript script({[&](HWND d) { SendMessageA(d, WM_CLOSE, 0, 0); }});
  SendMessageA(form->handle(), WM_COMMAND, Form::kFirstActionId + Form::attachAction, 0);
  EXPECT_TRUE(script.done());
  EXPECT_EQ(form->AttachedPid, -1);
  EXPECT_FALSE(form->IsAttached);
  EXPECT_TRUE(form->actionEnabled(Form::runAction));
  EXPECT_TRUE(form->actionEnabled(Form::attachAction));
  EXPECT_TRUE(form->actionEnabled(Form::stopAction));
  EXPECT_FALSE(form->actionEnabled(Form::suspendAction));
}

TEST_F(MainFormTest, FooterFollowsTheMapOfTheDebuggedExecutable) {
  form->Settings.LoadMap = false;
  ASSERT_TRUE(runToEnd("exit 0"));
  EXPECT_EQ(form->footerText(), "Map file not loaded.");
  EXPECT_FALSE(form->MapLoaded);

  form->Settings.LoadMap = true;
  ASSERT_TRUE(runToEnd("exit 0"));
  EXPECT_EQ(form->footerText(), "Map file loaded.");
  ASSERT_NE(globalMap(), nullptr);

  // Another executable, without a map: the sample's map is let go, not used for it.
  char system[MAX_PATH] = {};
  GetSystemDirectoryA(system, MAX_PATH);
  ASSERT_TRUE(runToEnd("/c exit", std::string(system) + "\\cmd.exe"));
  EXPECT_EQ(form->footerText(), "Map file can't loaded.");
  EXPECT_FALSE(form->MapLoaded);
  EXPECT_EQ(globalMap() != nullptr && !globalMap()->ProgramName.empty(), false);
}

TEST_F(MainFormTest, MaximaNeverDecreaseAcrossSessions) {
  ASSERT_TRUE(runToEnd("threads 8"));
  const int maxThreads = std::atoi(value(Form::kMaxThreadsValue).c_str());
  EXPECT_GE(maxThreads, 9);
  ASSERT_TRUE(runToEnd("exit 0"));
  EXPECT_EQ(std::atoi(value(Form::kMaxThreadsValue).c_str()), maxThreads);
  EXPECT_LT(std::atoi(value(Form::kThreadCountValue).c_str()), maxThreads);
}

TEST_F(MainFormTest, ClosingWhileDebuggingEndsAStartedDebuggee) {
  start("sleep 30");
  ASSERT_TRUE(
      pumpUntil([] { return CurrentDebugThread && CurrentDebugThread->MainProcessId != 0; }));
  const uint32_t pid = CurrentDebugThread->MainProcessId;
  SendMessageA(form->handle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(form->handle(), nullptr);
  ASSERT_FALSE(dialogs.boxes.empty());
  EXPECT_EQ(dialogs.boxes.back().text, "Debuged process not terminated, before exit!");
  program.reset();  // the engine's shutdown waits for the session
  EXPECT_TRUE(pumpUntil([&] { return !processAlive(pid); }));
}

TEST_F(MainFormTest, ClosingWhileAttachedDetachesAndTheProcessRunsOn) {
  // A process started by hand, then attached to.
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string command = "\"" + samplePath() + "\" sleep 30";
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &si, &pi));
  form->AttachedPid = static_cast<int32_t>(pi.dwProcessId);
  form->ErrorLogPath = logs;
  form->startAttach();
  form->flushEvents();
  ASSERT_TRUE(pumpUntil(
      [&] { return (form->flushEvents(), rows() > 0) && findRow("Output debug string") >= 0; }));
  SendMessageA(form->handle(), WM_CLOSE, 0, 0);
  program.reset();
  EXPECT_TRUE(processAlive(pi.dwProcessId));
  TerminateProcess(pi.hProcess, 0);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

TEST_F(MainFormTest, ACloseDuringANotificationWaitsForItAndDetachesCleanly) {
  // A program with a map that does not parse: its box comes inside an event's notification.
  const std::string exe = logs + "\\badmap.exe";
  ASSERT_TRUE(CopyFileA(samplePath().c_str(), exe.c_str(), FALSE));
  std::ofstream(logs + "\\badmap.map", std::ios::binary) << "not a map\r\n";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string command = "\"" + exe + "\" sleep 30";
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &si, &pi));
  // The user closes the window while that box is open (its message loop runs the close).
  bool closed = false;
  dialogs.onBox = [&](const std::string&) {
    if (closed || !form->IsAttached) return;
    closed = true;
    PostMessageA(form->handle(), WM_CLOSE, 0, 0);
    pumpPending();
  };
  form->AttachedPid = static_cast<int32_t>(pi.dwProcessId);
  form->ErrorLogPath = logs;
  form->startAttach();
  EXPECT_TRUE(pumpUntil([&] { return form->handle() == nullptr; }));
  EXPECT_TRUE(closed);
  for (const auto& box : dialogs.boxes)
    EXPECT_NE(box.text, "Error occurred while stoping the debugger!");
  program.reset();
  EXPECT_TRUE(processAlive(pi.dwProcessId));
  TerminateProcess(pi.hProcess, 0);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

/// Windows of this process with the class, top-level (parent null) or message-only.
int ownWindows(HWND parent, const char* windowClass) {
  int count = 0;
  for (HWND w = FindWindowExA(parent, nullptr, windowClass, nullptr); w != nullptr;
       w = FindWindowExA(parent, w, windowClass, nullptr)) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    count += pid == GetCurrentProcessId();
  }
  return count;
}

TEST(MainFormLifetime, NoThreadHandleOrWindowOutlivesTheProgram) {
  ScriptedDialogs dialogs;
  ui::setUiDialogs(&dialogs);
  Win32Platform platform;
  Win32HostSystem system;
  auto session = [&] {
    WindowSync sync;
    report::ProgramLifetime program(platform, sync, system, nullptr);
    Form form;
    ASSERT_TRUE(form.create());
    form.TargetPath = samplePath();
    form.TargetParams = "threads 4";
    form.ErrorLogPath = freshFolder("lifetime");
    form.startRun();
    ASSERT_TRUE(pumpUntil([&] { return !form.IsStarted; }, 60000));
    SendMessageA(form.handle(), WM_CLOSE, 0, 0);
  };
  session();  // the first one loads what stays for the process's life (libraries, fonts)
  const int threads = threadCount();
  const DWORD handles = handleCount();
  for (int i = 0; i < 3; ++i) session();
  EXPECT_LE(threadCount(), threads);
  EXPECT_LE(handleCount(), handles + 16);
  EXPECT_EQ(ownWindows(nullptr, "TostrelForm"), 0);
  EXPECT_EQ(ownWindows(HWND_MESSAGE, "OstrelHandOff"), 0);
  ui::setUiDialogs(nullptr);
}

}  // namespace
}  // namespace ostrel::gtest_gui
