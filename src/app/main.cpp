// ostrel.exe: start-up in the documented order, the message loop, and the shutdown.
//
//   ostrel.exe [--errdir DIR] [--run EXE [ARGS...]]
//   ostrel.exe LOGFILE.err | DUMPFILE.dmp
// With --run the window starts debugging EXE at once, as if the selection dialog had been
// confirmed with these entries (the log folder defaults to the current folder). A stored
// exception log or a minidump opens in the call stack window (so that either can be
// double-clicked).
#include <windows.h>
// after windows.h, which they need
#include <commctrl.h>
#include <objbase.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win32/win32_host_system.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/window_sync.h"
#include "report/program_lifetime.h"
#include "ui/main_form.h"
#include "ui/start_request.h"
#include "ui/ui_dialogs.h"

// No exception may end the program without a word, start-up and shutdown included.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int showCommand) try {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_BAR_CLASSES |
                                                     ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES |
                                                     ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);
  CoInitialize(nullptr);  // the folder browser needs COM on this thread
  const ostrel::ui::StartRequest request =
      ostrel::ui::parseStartRequest(std::vector<std::string>(__argv + 1, __argv + __argc));

  ostrel::Win32Platform platform;
  ostrel::Win32HostSystem system;
  ostrel::WindowSync sync;
  int exitCode = 0;
  {
    // The balance check's boxes come after the main window has gone.
    ostrel::report::ProgramLifetime program(platform, sync, system, [](const std::string& text) {
      ostrel::ui::uiDialogs().messageBox(nullptr, text, ostrel::ui::BoxKind::Warning);
    });
    ostrel::ui::TostrelForm form;
    form.OnClosed = [] { PostQuitMessage(0); };
    if (!form.create()) return 1;
    form.show(showCommand);
    if (!request.log.empty())
      ostrel::ui::guarded(
          nullptr, [&] { form.openLog(request.log); }, [] {});
    if (request.run) {
      form.TargetPath = request.exe;
      form.TargetParams = request.parameters;
      form.ErrorLogPath = request.errorDir;
      ostrel::ui::guarded(
          nullptr, [&] { form.startRun(); }, [] {});
    }
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    exitCode = static_cast<int>(msg.wParam);
  }
  CoUninitialize();
  return exitCode;
} catch (...) {
  ostrel::ui::showEscapedException(nullptr);
  return 1;
}
