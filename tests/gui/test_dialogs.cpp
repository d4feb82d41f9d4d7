// The main window's modal dialogs, shown for real and driven by messages.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "excpack/er_ce5_tools.h"
#include "excpack/exception_log.h"
#include "gui_support.h"
#include "platform/win32/win32_host_system.h"
#include "report/program_lifetime.h"
#include "ui/about_form.h"
#include "ui/call_stack_form.h"
#include "ui/pref_settings.h"
#include "ui/process_list.h"
#include "ui/select_app.h"

namespace ostrel::gtest_gui {
namespace {

using ui::TpreferenceForm;
using ui::TprocessListForm;
using ui::TselectAppForm;

class DialogsTest : public ::testing::Test {
 protected:
  void SetUp() override { ui::setUiDialogs(&dialogs); }
  void TearDown() override { ui::setUiDialogs(nullptr); }
  ScriptedDialogs dialogs;
};

void focus(HWND dialog, int id) {
  SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, id)), TRUE);
}
// A key as the keyboard delivers it to the focused control; the dialog's loop translates
// Enter and Escape into its OK and Cancel commands.
// A key for the dialog's focused control. Activation under X arrives when the server says so:
// a dialog not focused yet gets the key itself (the dialog manager handles it the same way).
void pressKey(HWND dialog, WPARAM key) {
  HWND target = GetFocus();
  if (target == nullptr || (target != dialog && !IsChild(dialog, target))) target = dialog;
  PostMessageA(target, WM_KEYDOWN, key, 1);
}
std::string itemText(HWND dialog, int id) { return text(GetDlgItem(dialog, id)); }
bool focused(HWND dialog, int id) { return GetFocus() == GetDlgItem(dialog, id); }
bool enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

// "&Ok" with an entry missing: the dialog stays open and the focus moves to the entry wanted.
void expectOkRefused(HWND dialog, int focusedEntry) {
  focus(dialog, TselectAppForm::kAppParamsEdit);
  click(dialog, IDOK);
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_TRUE(focused(dialog, focusedEntry));
}

TEST_F(DialogsTest, SelectApplicationAsksForExecutableAndFolder) {
  dialogs.openAnswers = {std::nullopt, std::string("C:\\Apps\\target.exe")};
  dialogs.folderAnswers = {std::string("C:\\Logs")};
  std::string app = "old", params = "old", path = "old";
  DialogScript script({[](HWND d) {
    EXPECT_EQ(text(d), "Select Application");
    expectOkRefused(d, TselectAppForm::kAppNameEdit);
    // A folder alone is not enough, nor an executable alone.
    type(d, TselectAppForm::kErrorPathEdit, "C:\\Logs");
    expectOkRefused(d, TselectAppForm::kAppNameEdit);
    type(d, TselectAppForm::kErrorPathEdit, "");
    type(d, TselectAppForm::kAppNameEdit, "typed.exe");
    expectOkRefused(d, TselectAppForm::kAppNameEdit);
    // "...": a cancelled pick keeps the text, a confirmed one replaces it.
    click(d, TselectAppForm::kSelectAppButton);
    EXPECT_EQ(itemText(d, TselectAppForm::kAppNameEdit), "typed.exe");
    click(d, TselectAppForm::kSelectAppButton);
    EXPECT_EQ(itemText(d, TselectAppForm::kAppNameEdit), "C:\\Apps\\target.exe");
    click(d, TselectAppForm::kErrPathButton);
    EXPECT_EQ(itemText(d, TselectAppForm::kErrorPathEdit), "C:\\Logs");
    // Blanks count as a folder; Enter is OK.
    type(d, TselectAppForm::kErrorPathEdit, "   ");
    type(d, TselectAppForm::kAppParamsEdit, "-v  2");
    focus(d, TselectAppForm::kAppParamsEdit);
    pressKey(d, VK_RETURN);
  }});
  EXPECT_TRUE(ui::selectApplication(nullptr, false, app, params, path));
  EXPECT_TRUE(script.done());
  EXPECT_EQ(app, "C:\\Apps\\target.exe");
  EXPECT_EQ(params, "-v  2");
  EXPECT_EQ(path, "   ");
  EXPECT_TRUE(dialogs.openAnswers.empty());
}

TEST_F(DialogsTest, SelectApplicationCancelledHandsBackEmptyResults) {
  const std::vector<std::pair<const char*, DialogScript::Step>> closers = {
      {"Cancel", [](HWND d) { click(d, IDCANCEL); }},
      {"close box", [](HWND d) { SendMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); }},
      {"Escape", [](HWND d) { pressKey(d, VK_ESCAPE); }}};
  for (const auto& [name, close] : closers) {
    SCOPED_TRACE(name);
    std::string app = "old", params = "old", path = "old";
    DialogScript script({[close = close](HWND d) {
      type(d, TselectAppForm::kAppNameEdit, "a.exe");
      type(d, TselectAppForm::kAppParamsEdit, "p");
      type(d, TselectAppForm::kErrorPathEdit, "C:\\Logs");
      focus(d, TselectAppForm::kErrorPathEdit);
      close(d);
    }});
    EXPECT_FALSE(ui::selectApplication(nullptr, false, app, params, path));
    EXPECT_TRUE(script.done());
    EXPECT_EQ(app, "");
    EXPECT_EQ(params, "");
    EXPECT_EQ(path, "");
  }
}

TEST_F(DialogsTest, SelectApplicationForTheErrorPathOnly) {
  dialogs.openAnswers = {std::string("C:\\never.exe")};
  dialogs.folderAnswers = {std::string("C:\\Logs")};
  std::string app = "old", params = "old", path = "old";
  DialogScript script({[](HWND d) {
    EXPECT_EQ(text(d), "Select or enter an error path");
    EXPECT_FALSE(enabled(d, TselectAppForm::kAppNameEdit));
    EXPECT_FALSE(enabled(d, TselectAppForm::kAppParamsEdit));
    EXPECT_FALSE(enabled(d, TselectAppForm::kSelectAppButton));
    EXPECT_TRUE(enabled(d, TselectAppForm::kErrorPathEdit));
    EXPECT_TRUE(enabled(d, TselectAppForm::kErrPathButton));
    click(d, TselectAppForm::kSelectAppButton);  // disabled: no file dialog
    expectOkRefused(d, TselectAppForm::kErrorPathEdit);
    click(d, TselectAppForm::kErrPathButton);
    click(d, IDOK);
  }});
  EXPECT_TRUE(ui::selectApplication(nullptr, true, app, params, path));
  EXPECT_TRUE(script.done());
  EXPECT_EQ(app, "");
  EXPECT_EQ(params, "");
  EXPECT_EQ(path, "C:\\Logs");
  EXPECT_EQ(dialogs.openAnswers.size(), 1u);
}

// The row whose "ID" cell (the second column) holds pid, or -1.
int rowOfPid(HWND list, DWORD pid) {
  const int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < rows; ++row)
    if (ui::listViewText(list, row, 1) == std::to_string(pid)) return row;
  return -1;
}

// A user's click on a row (row -1: on the empty area, which selects nothing).
void clickRow(HWND dialog, int row) {
  HWND list = GetDlgItem(dialog, TprocessListForm::kProcessListView);
  LVITEMA state{};
  state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  state.state = 0;
  SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&state));
  if (row >= 0) {
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
  }
  NMITEMACTIVATE click{};
  click.hdr.hwndFrom = list;
  click.hdr.idFrom = TprocessListForm::kProcessListView;
  click.hdr.code = NM_CLICK;
  click.iItem = row;
  SendMessageA(dialog, WM_NOTIFY, TprocessListForm::kProcessListView,
               reinterpret_cast<LPARAM>(&click));
}

TEST_F(DialogsTest, ProcessListReturnsZeroForOkAndMinusOneWhenClosed) {
  {
    DialogScript script({[](HWND d) { click(d, IDOK); }});
    EXPECT_EQ(ui::selectProcess(nullptr), 0);
    EXPECT_TRUE(script.done());
  }
  {
    // A row was clicked, then the window closed without OK.
    DialogScript script({[](HWND d) {
      HWND list = GetDlgItem(d, TprocessListForm::kProcessListView);
      clickRow(d, rowOfPid(list, GetCurrentProcessId()));
      EXPECT_EQ(itemText(d, TprocessListForm::kPidLabel), std::to_string(GetCurrentProcessId()));
      SendMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0);
    }});
    EXPECT_EQ(ui::selectProcess(nullptr), -1);
    EXPECT_TRUE(script.done());
  }
}

TEST_F(DialogsTest, ProcessListReturnsTheClickedProcessAfterRefresh) {
  const std::string self = std::to_string(GetCurrentProcessId());
  DialogScript script({[&self](HWND d) {
                         EXPECT_EQ(text(d), "Select Process");
                         HWND list = GetDlgItem(d, TprocessListForm::kProcessListView);
                         const int row = rowOfPid(list, GetCurrentProcessId());
                         ASSERT_GE(row, 0) << "this program is not in the list";
                         EXPECT_EQ(ui::listViewText(list, row, 0), "gui_tests.exe");
                         EXPECT_EQ(itemText(d, TprocessListForm::kPidLabel), "?");
                         clickRow(d, row);
                         EXPECT_EQ(itemText(d, TprocessListForm::kPidLabel), self);

                         // A new snapshot replaces the rows (the selection goes with them); the
                         // pick stays, and a click that selects nothing changes nothing.
                         click(d, TprocessListForm::kRefreshButton);
                         EXPECT_EQ(SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0), 0);
                         EXPECT_GE(rowOfPid(list, GetCurrentProcessId()), 0);
                         clickRow(d, -1);
                         EXPECT_EQ(itemText(d, TprocessListForm::kPidLabel), self);
                       },
                       [](HWND d) { click(d, IDOK); }});
  EXPECT_EQ(ui::selectProcess(nullptr), static_cast<int32_t>(GetCurrentProcessId()));
  EXPECT_TRUE(script.done());
}

TEST_F(DialogsTest, ProcessListPickedWithTheKeyboardIsTheOneReturned) {
  const std::string self = std::to_string(GetCurrentProcessId());
  DialogScript script({[&self](HWND d) {
    HWND list = GetDlgItem(d, TprocessListForm::kProcessListView);
    const int row = rowOfPid(list, GetCurrentProcessId());
    ASSERT_GE(row, 0);
    SetFocus(list);
    SendMessageA(list, WM_KEYDOWN, VK_HOME, 0);
    for (int i = 0; i < row; ++i) SendMessageA(list, WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(itemText(d, TprocessListForm::kPidLabel), self);
    // Enter reaches the default button through the dialog's own loop.
    PostMessageA(list, WM_KEYDOWN, VK_RETURN, 0);
  }});
  EXPECT_EQ(ui::selectProcess(nullptr), static_cast<int32_t>(GetCurrentProcessId()));
  EXPECT_TRUE(script.done());
}

TEST_F(DialogsTest, PreferencesUnchangedLeaveTheRecordAsItWas) {
  ui::TPrefSettings settings;
  settings.StackDepth = 0;
  settings.DispCallStackOnBreak = true;
  settings.LoadMap = false;
  settings.Minidump = MinidumpKind::FullMemory;
  DialogScript script({[](HWND d) {
                         EXPECT_EQ(text(d), "Preference settings");
                         EXPECT_EQ(itemText(d, TpreferenceForm::kStackDepthSpinEdit), "0");
                         HWND combo = GetDlgItem(d, TpreferenceForm::kMinidumpComboBox);
                         EXPECT_EQ(text(combo), "Full memory");
                         // The grown dialog still shows "Ok" whole, below the drop-down.
                         RECT comboRect{}, okRect{}, client{};
                         GetWindowRect(combo, &comboRect);
                         GetWindowRect(GetDlgItem(d, IDOK), &okRect);
                         GetClientRect(d, &client);
                         MapWindowPoints(d, nullptr, reinterpret_cast<POINT*>(&client), 2);
                         EXPECT_LT(comboRect.bottom, okRect.top);
                         EXPECT_LE(okRect.bottom, client.bottom);
                         // Neither Escape nor a close request closes it: "Ok" is the only way out.
                         focus(d, TpreferenceForm::kStackDepthSpinEdit);
                         pressKey(d, VK_ESCAPE);
                         SendMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0);
                       },
                       [](HWND d) {
                         EXPECT_TRUE(IsWindowVisible(d));
                         click(d, IDOK);
                       }});
  ui::editPreferences(nullptr, settings);
  EXPECT_TRUE(script.done());
  EXPECT_EQ(settings.StackDepth, 0);
  EXPECT_TRUE(settings.DispCallStackOnBreak);
  EXPECT_FALSE(settings.LoadMap);
  EXPECT_EQ(settings.Minidump, MinidumpKind::FullMemory);
}

TEST_F(DialogsTest, PreferencesLimitTheStackDepth) {
  struct Case {
    const char* typed;
    int32_t depth;
    DialogScript::Step leave;  // how the entry is left and the dialog closed
  };
  const Case cases[] = {
      // Leaving the field puts the bound into it; then "Ok".
      {"300", 255,
       [](HWND d) {
         focus(d, TpreferenceForm::kMapCheckBox);
         EXPECT_EQ(itemText(d, TpreferenceForm::kStackDepthSpinEdit), "255");
         click(d, IDOK);
       }},
      // Enter: the focus never leaves the field.
      {"-5", 0, [](HWND d) { pressKey(d, VK_RETURN); }},
      {"abc", 0, [](HWND d) { click(d, IDOK); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    ui::TPrefSettings settings;  // depth 32, no stack on break, map loading on
    DialogScript script({[&c](HWND d) {
      EXPECT_EQ(itemText(d, TpreferenceForm::kStackDepthSpinEdit), "32");
      HWND combo = GetDlgItem(d, TpreferenceForm::kMinidumpComboBox);
      EXPECT_EQ(text(combo), "Normal");
      SendMessageA(combo, CB_SETCURSEL, 0, 0);
      click(d, TpreferenceForm::kDispCallStackOnBreakCheckBox);
      click(d, TpreferenceForm::kMapCheckBox);
      focus(d, TpreferenceForm::kStackDepthSpinEdit);
      type(d, TpreferenceForm::kStackDepthSpinEdit, c.typed);
      c.leave(d);
    }});
    ui::editPreferences(nullptr, settings);
    EXPECT_TRUE(script.done());
    EXPECT_EQ(settings.StackDepth, c.depth);
    EXPECT_TRUE(settings.DispCallStackOnBreak);
    EXPECT_FALSE(settings.LoadMap);
    EXPECT_EQ(settings.Minidump, MinidumpKind::None);
  }
}

TEST_F(DialogsTest, AboutBoxShowsTheVersionBlockAndTheLadyBugAnswersClicks) {
  // The version block of the window program itself.
  Win32HostSystem system;
  std::string exe = OSTREL_EXE;
  if (!exe.empty() && exe[0] == '/') exe = "Z:" + exe;
  excpack::AppVersionBlock block;
  block.load(exe, system.versionBlock(exe));
  ASSERT_TRUE(block.available());
  DialogScript script({[](HWND d) {
    EXPECT_EQ(text(d), "About Ostrel");
    EXPECT_EQ(itemText(d, ui::TostrelAboutForm::kTitleLabel), "Ostrel");
    EXPECT_EQ(itemText(d, ui::TostrelAboutForm::kVersionLabel), "ver " OSTREL_VERSION);
    // The copyright line up to the word "author".
    EXPECT_EQ(itemText(d, ui::TostrelAboutForm::kCopyrightLabel),
              "Copyright (c) 2026 the Ostrel project\r\n");
    HWND bug = GetDlgItem(d, ui::TostrelAboutForm::kLadyBugImage);
    EXPECT_NE(SendMessageA(bug, STM_GETICON, 0, 0), 0);
    SendMessageA(bug, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
    SendMessageA(bug, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
    SendMessageA(bug, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(4, 4));
    SendMessageA(bug, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
    pressKey(d, VK_ESCAPE);
  }});
  ui::showAbout(nullptr, block);
  EXPECT_TRUE(script.done());
  ASSERT_GE(dialogs.boxes.size(), 2u);
  EXPECT_EQ(dialogs.boxes[0].text, "This is not a real Lady bug! Don't you?");
  EXPECT_EQ(dialogs.boxes[0].kind, ui::BoxKind::Plain);
  EXPECT_EQ(dialogs.boxes.back().text, "What is a problem with this bug picture?");
  EXPECT_EQ(dialogs.boxes.back().kind, ui::BoxKind::Information);
}

TEST_F(DialogsTest, AboutBoxWithoutAVersionBlockKeepsItsDesignTexts) {
  const excpack::AppVersionBlock none;
  DialogScript script({[](HWND d) {
    EXPECT_EQ(itemText(d, ui::TostrelAboutForm::kTitleLabel), "Ostrel");
    EXPECT_EQ(itemText(d, ui::TostrelAboutForm::kVersionLabel), "");
    EXPECT_EQ(itemText(d, ui::TostrelAboutForm::kCopyrightLabel),
              "Copyright (c) 2026 the Ostrel authors");
    click(d, IDOK);
  }});
  ui::showAbout(nullptr, none);
  EXPECT_TRUE(script.done());
}

TEST_F(DialogsTest, CallStackWindowWithoutALogOrWithABadOne) {
  using ui::TdisplayCallStackForm;
  Win32HostSystem system;
  report::PackageLifetime package(system);  // the logs' cipher, as the program sets it up
  const std::string folder = freshFolder("callstack");
  auto panes = [](HWND d) {
    return itemText(d, TdisplayCallStackForm::kMessageMemo) + "|" +
           std::to_string(SendMessageA(GetDlgItem(d, TdisplayCallStackForm::kCallStackListView),
                                       LVM_GETITEMCOUNT, 0, 0));
  };
  // No log stored yet: the window opens empty, without a word.
  {
    DialogScript script({[&](HWND d) {
      EXPECT_EQ(text(d), "Display call stack");
      EXPECT_EQ(panes(d), "|0");
      EXPECT_EQ(itemText(d, TdisplayCallStackForm::kUnitsLabel), "?");
      pressKey(d, VK_ESCAPE);
    }});
    TdisplayCallStackForm::showCallStack(nullptr, "", "");
    EXPECT_TRUE(script.done());
    EXPECT_TRUE(dialogs.boxes.empty());
  }
  // A file that is no log: its error, then the window with empty panes.
  const std::string notALog = folder + "\\notes.err";
  {
    std::ofstream(notALog) << "just some notes\n";
    DialogScript script({[&](HWND d) {
      EXPECT_EQ(panes(d), "|0");
      click(d, IDOK);
    }});
    TdisplayCallStackForm::showCallStack(nullptr, notALog, "");
    EXPECT_TRUE(script.done());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "Can not convert string to component!");
    EXPECT_EQ(dialogs.boxes[0].kind, ui::BoxKind::Error);
  }
  // A file that cannot be read: the error names it and no window opens.
  {
    const std::string missing = folder + "\\missing.err";
    DialogScript script({[](HWND d) { click(d, IDOK); }});
    TdisplayCallStackForm::showCallStack(nullptr, missing, "");
    EXPECT_FALSE(script.done());
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_NE(dialogs.boxes[1].text.find(missing), std::string::npos) << dialogs.boxes[1].text;
  }
  auto logOf = [&](excpack::TComponent& component, const std::string& name) {
    const std::string path = folder + "\\" + name;
    std::ofstream(path, std::ios::binary)
        << excpack::EncryptText(excpack::ComponentToString(component)) << "\r\n";
    return path;
  };
  // A log of another component: its error, and empty panes.
  {
    excpack::TAppInfo app;
    app.SetApplicationName("x.exe");
    DialogScript script({[&](HWND d) {
      EXPECT_EQ(panes(d), "|0");
      click(d, IDOK);
    }});
    TdisplayCallStackForm::showCallStack(nullptr, logOf(app, "app.err"), "");
    EXPECT_TRUE(script.done());
    ASSERT_EQ(dialogs.boxes.size(), 3u);
    EXPECT_EQ(dialogs.boxes[2].text, "Component is not TExceptionPack component!");
  }
  // A real package while no map is loaded: the report, and the separator row alone.
  {
    excpack::TExceptionPack pack;
    DialogScript script({[&](HWND d) {
      const std::string shown = panes(d);
      EXPECT_NE(shown.find("GLOBAL INFORMATIONS"), std::string::npos);
      EXPECT_EQ(shown.substr(shown.size() - 2), "|1");
      click(d, IDOK);
    }});
    TdisplayCallStackForm::showCallStack(nullptr, logOf(pack, "pack.err"), "");
    EXPECT_TRUE(script.done());
    EXPECT_EQ(dialogs.boxes.size(), 3u);
  }
  // A damaged minidump (its directory lies past the end of the file): the error names it
  // and says what is wrong, and no window opens.
  {
    const std::string damaged = folder + "\\damaged.dmp";
    std::string header("MDMP\x93\xA7\0\0\x05\0\0\0\0\x10\0\0", 16);
    header.resize(32, '\0');
    std::ofstream(damaged, std::ios::binary) << header;
    DialogScript script({[](HWND d) { click(d, IDOK); }});
    TdisplayCallStackForm::showCallStack(nullptr, damaged, "");
    EXPECT_FALSE(script.done());
    ASSERT_EQ(dialogs.boxes.size(), 4u);
    EXPECT_EQ(dialogs.boxes[3].text.rfind(damaged + ": ", 0), 0u) << dialogs.boxes[3].text;
    EXPECT_EQ(dialogs.boxes[3].kind, ui::BoxKind::Error);
  }
}

// Reads the call stack window once a failed handler has returned, then closes it.
struct AfterFailure {
  static inline HWND shown = nullptr;
  static inline std::string memo;
  static inline size_t boxes = 0;
  static inline ScriptedDialogs* dialogs = nullptr;
  static void CALLBACK look(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    memo = text(GetDlgItem(shown, ui::TdisplayCallStackForm::kMessageMemo));
    boxes = dialogs->boxes.size();
    click(shown, IDOK);
  }
};

// A log too large to hold is refused by name and size before any window opens. A handler
// that throws (here out of memory) costs an error box, not the program: the window goes on
// answering, and a zero character in a stored text does not cut its report short.
TEST_F(DialogsTest, CallStackWindowSurvivesAHugeLogAndAFailingHandler) {
  using ui::TdisplayCallStackForm;
  Win32HostSystem system;
  report::PackageLifetime package(system);
  const std::string folder = freshFolder("callstack_abuse");
  {
    const std::string huge = folder + "\\huge.err";
    HANDLE file = CreateFileA(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = 1610612736;  // sparse: nothing is written
    ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);
    DialogScript script({[](HWND d) { click(d, IDOK); }});
    TdisplayCallStackForm::showCallStack(nullptr, huge, "");
    DeleteFileA(huge.c_str());
    EXPECT_FALSE(script.done());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, excpack::tooLargeText(huge, 1610612736));
    EXPECT_NE(dialogs.boxes[0].text.find(huge), std::string::npos);
  }

  excpack::TExceptionPack pack;
  pack.SetErrorInfo(std::make_unique<excpack::TErrorInfo>());
  pack.ErrorInfo()->ErrorMessage = std::string("Access\0violation", 16);
  const std::string log = folder + "\\zero.err";
  std::ofstream(log, std::ios::binary)
      << excpack::EncryptText(excpack::ComponentToString(pack)) << "\r\n";

  AfterFailure::dialogs = &dialogs;
  ui::ModalDialog::setShownHook([](HWND d) {
    AfterFailure::shown = d;
    SetTimer(nullptr, 0, USER_TIMER_MINIMUM, &AfterFailure::look);
    throw std::bad_alloc();
  });
  TdisplayCallStackForm::showCallStack(nullptr, log, "");
  ui::ModalDialog::setShownHook({});
  ASSERT_NE(AfterFailure::shown, nullptr);
  EXPECT_FALSE(IsWindow(AfterFailure::shown));  // closed by its button after the failure
  EXPECT_EQ(AfterFailure::boxes, 2u);
  ASSERT_EQ(dialogs.boxes.size(), 2u);
  EXPECT_EQ(dialogs.boxes[1].text, "Out of memory.");
  EXPECT_EQ(dialogs.boxes[1].kind, ui::BoxKind::Error);
  const std::string& memo = AfterFailure::memo;
  EXPECT_NE(memo.find("\tError message: Access violation\r\n"), std::string::npos) << memo;
  EXPECT_NE(memo.find("\tCall Stack items count: 0\r\n"), std::string::npos) << memo;
}

}  // namespace
}  // namespace ostrel::gtest_gui
