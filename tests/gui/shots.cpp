// ostrel_shots.exe OUTDIR: drives the main window through a run of the crashing sample
// and opens each dialog, writing a 24-bit BMP of every window to OUTDIR as it goes
// (scripts/screenshots.sh turns them into PNG files). The pictures are taken from the
// screen, so the program needs a display of its own with nothing else on it.
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <string>

#include "engine/debug_thread.h"
#include "gui_support.h"
#include "platform/win32/win32_host_system.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/window_sync.h"
#include "report/program_lifetime.h"
#include "ui/main_form.h"
#include "ui/ui_common.h"

namespace {

using namespace ostrel;
using gtest_gui::pumpUntil;
using Form = ui::TostrelForm;

std::string gOutDir;
int gFailures = 0;

// Lets the window paint and Wine hand its picture to the X server.
void settle() {
  const DWORD start = GetTickCount();
  pumpUntil([&] { return GetTickCount() - start >= 400; }, 1000);
}

// Copies what the screen shows of the window into OUTDIR/name.bmp.
void shoot(HWND window, const std::string& name) {
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  settle();
  RECT r{};
  GetWindowRect(window, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as a BMP file stores it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
  const DWORD imageSize = stride * static_cast<DWORD>(height);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + imageSize;
  const std::string path = gOutDir + "\\" + name + ".bmp";
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out != nullptr && bits != nullptr) {
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
    std::fwrite(bits, 1, imageSize, out);
    std::fclose(out);
    std::printf("%s.bmp %dx%d\n", name.c_str(), width, height);
  } else {
    if (out != nullptr) std::fclose(out);
    std::printf("%s: cannot write %s\n", name.c_str(), path.c_str());
    ++gFailures;
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

int findRow(Form& form, const std::string& event, const std::string& detail = "") {
  HWND view = form.eventList().handle();
  const int rows = static_cast<int>(SendMessageA(view, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < rows; ++i)
    if (ui::listViewText(view, i, 1) == event &&
        ui::listViewText(view, i, 2).find(detail) != std::string::npos)
      return i;
  return -1;
}

// Selects a row of the event list and clicks it, as the mouse would.
void clickRow(Form& form, int row) {
  HWND view = form.eventList().handle();
  LVITEMA state{};
  state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  state.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageA(view, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
  SendMessageA(view, LVM_ENSUREVISIBLE, row, FALSE);
  SetFocus(view);
  NMITEMACTIVATE click{};
  click.hdr.hwndFrom = view;
  click.hdr.idFrom = Form::kEventList;
  click.hdr.code = NM_CLICK;
  click.iItem = row;
  SendMessageA(form.handle(), WM_NOTIFY, Form::kEventList, reinterpret_cast<LPARAM>(&click));
}

// Drags a splitter by dx, dy pixels, as the mouse would.
void dragSplitter(Form& form, int id, int dx, int dy) {
  HWND bar = form.control(id);
  SendMessageA(bar, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(1, 1));
  SendMessageA(bar, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(1 + dx, 1 + dy));
  SendMessageA(bar, WM_LBUTTONUP, 0, MAKELPARAM(1 + dx, 1 + dy));
}

// Opens a dialog through its action, photographs it and closes it again.
void shootDialog(Form& form, int action, const std::string& name, int closeWith = IDCANCEL) {
  gtest_gui::DialogScript script({[&](HWND dialog) {
    shoot(dialog, name);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(closeWith, BN_CLICKED), 0);
  }});
  SendMessageA(form.handle(), WM_COMMAND, Form::kFirstActionId + action, 0);
  if (!script.done()) {
    std::printf("%s: the dialog did not show\n", name.c_str());
    ++gFailures;
  }
}

// Photographs the open popup menu, then closes it.
void CALLBACK shootMenu(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  HWND menu = FindWindowA("#32768", nullptr);
  if (menu != nullptr) shoot(menu, "event-menu");
  EndMenu();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ostrel_shots OUTDIR\n");
    return 2;
  }
  gOutDir = argv[1];
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_BAR_CLASSES |
                                                     ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES |
                                                     ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);

  gtest_gui::ScriptedDialogs dialogs;  // boxes are recorded, not shown
  ui::setUiDialogs(&dialogs);
  Win32Platform platform;
  Win32HostSystem system;
  WindowSync sync;
  {
    report::ProgramLifetime program(platform, sync, system, [](const std::string&) {});
    Form form;
    if (!form.create()) return 1;
    // Larger than at start, so that the call stack shows more than a few entries.
    SetWindowPos(form.handle(), nullptr, 0, 0, 1270, 800, SWP_NOZORDER);
    form.show(SW_SHOWNORMAL);
    dragSplitter(form, Form::kLowerSplitter, 0, 170);
    dragSplitter(form, Form::kVerticalSplitter, -200, 0);

    form.TargetPath = gtest_gui::samplePath();
    form.TargetParams = "deep-av";
    form.ErrorLogPath = gtest_gui::freshFolder("shots");
    form.startRun();
    const bool ended = pumpUntil(
        [&] {
          form.flushEvents();
          return !form.IsStarted && findRow(form, "Exit process") >= 0;
        },
        60000);
    if (!ended) {
      std::printf("the sample did not run to its end\n");
      return 1;
    }
    // The list with its coloured rows, the process's own page open.
    clickRow(form, 0);
    SendMessageA(form.eventList().handle(), LVM_ENSUREVISIBLE,
                 static_cast<WPARAM>(findRow(form, "Exit process")), FALSE);
    shoot(form.handle(), "main-window");
    // The access violation at its last chance, its call stack resolved through the map.
    const int last = findRow(form, "Exception - Last chance");
    if (last >= 0) clickRow(form, last);
    shoot(form.handle(), "exception-call-stack");
    // The same exception at its first chance, with the red row below it.
    const int first = findRow(form, "Exception - First chance", "C0000005");
    if (first >= 0) clickRow(form, first);
    shoot(form.handle(), "first-chance");

    // A popup lying over another window is not drawn under Wine on a bare X server, so
    // the main window steps aside while its dialogs are photographed.
    // The debuggee has ended; Stop makes Run and Attach available again.
    form.stopActionExecute();
    ShowWindow(form.handle(), SW_HIDE);
    shootDialog(form, Form::displayAction, "call-stack-window", IDOK);
    shootDialog(form, Form::runAction, "select-application");
    // A program of the user's own to attach to, for the process list.
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    std::string command = "\"" + gtest_gui::samplePath() + "\" sleep 60";
    const bool started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &child) != FALSE;
    shootDialog(form, Form::attachAction, "process-list");
    if (started) {
      TerminateProcess(child.hProcess, 0);
      CloseHandle(child.hThread);
      CloseHandle(child.hProcess);
    }
    shootDialog(form, Form::settingsAction, "preferences", IDOK);  // "Ok" is its only way out
    shootDialog(form, Form::aboutAction, "about", IDOK);
    // The minidump written at the crash, opened as "Open exception log..." opens it.
    const std::string dump = CurrentDebugThread->lastChanceResults().DumpName;
    {
      gtest_gui::DialogScript script({[&](HWND dialog) {
        shoot(dialog, "dump-call-stack");
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      }});
      dialogs.openAnswers = {dump};
      SendMessageA(form.handle(), WM_COMMAND, Form::kOpenLogCommand, 0);
      if (!script.done()) {
        std::printf("dump-call-stack: the window did not show\n");
        ++gFailures;
      }
    }
    // The event list's menu while a session runs, "Write minidump..." enabled.
    ShowWindow(form.handle(), SW_SHOW);
    form.TargetPath = gtest_gui::samplePath();
    form.TargetParams = "sleep 30";
    form.startRun();
    pumpUntil([&] {
      form.flushEvents();
      return findRow(form, "Output debug string") >= 0;
    });
    SetCursorPos(200, 200);
    SetTimer(nullptr, 0, 500, &shootMenu);
    NMHDR rclick{form.eventList().handle(), Form::kEventList, static_cast<UINT>(NM_RCLICK)};
    SendMessageA(form.handle(), WM_NOTIFY, Form::kEventList, reinterpret_cast<LPARAM>(&rclick));
    form.stopActionExecute();
    pumpUntil([] { return CurrentDebugThread && CurrentDebugThread->Finished(); });
    SendMessageA(form.handle(), WM_CLOSE, 0, 0);
  }
  ui::setUiDialogs(nullptr);
  return gFailures == 0 ? 0 : 1;
}
