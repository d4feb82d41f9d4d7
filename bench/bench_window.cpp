// The main window under load. Needs a display (under Wine: an X server, Xvfb will do).
//
//   bench_window.exe OSTREL_CLI DEBUGGEE [N] [ROUNDS]
//     Events per second of the window running a debuggee that emits N debug strings,
//     against `ostrel-cli run` on the same debuggee (the baseline), alternating over
//     ROUNDS rounds; medians compared. Then one more run of the window in which a mouse
//     click on a row of its event list is sent every 300 ms, and the time until the row
//     is selected and its details shown is measured.
//   bench_window.exe --soak DEBUGGEE [THREADS CYCLES STRINGS]
//     A long session: the debuggee's soak scenario (by default 2,000 threads started and
//     ended, 5,000 DLL load/unload cycles and 186,000 debug strings, about 200,000
//     events) run from the window while a row is clicked every 300 ms: the time each click
//     takes to show its row, the window's memory per event against the engine alone
//     running the same scenario (the baseline), and the program's handle count before Run
//     and after a Stop in the middle of a second run.
//   bench_window.exe --rows N
//     N events recorded through the engine over the scripted platform, once with the
//     window listing them and once without (the baseline): the window's own memory per
//     row, then the time to scroll to the end and click the last row.
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <new>

#include "bench_run.h"
#include "event_mix.h"
#include "engine/debug_thread.h"
#include "fake_platform.h"
#include "process_counts.h"
#include "platform/win32/win32_host_system.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/window_sync.h"
#include "report/program_lifetime.h"
#include "ui/main_form.h"
#include "ui/ui_dialogs.h"

namespace {
std::atomic<long long> gLive{0};
}  // namespace

// Counting allocator: a size header in front of every block. Not inlined: the compiler,
// seeing through the header arithmetic, would take the blocks for foreign ones.
__attribute__((noinline)) void* operator new(std::size_t n) {
  auto* p = static_cast<std::size_t*>(std::malloc(n + 16));
  if (!p) throw std::bad_alloc();
  *p = n;
  gLive += static_cast<long long>(n);
  return reinterpret_cast<char*>(p) + 16;
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
  if (!p) return;
  auto* base = reinterpret_cast<std::size_t*>(static_cast<char*>(p) - 16);
  gLive -= static_cast<long long>(*base);
  std::free(base);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using namespace ostrel;
using namespace ostrel::bench;
using Form = ui::TostrelForm;

// Boxes would stop the run: they are counted instead.
class SilentDialogs : public ui::UiDialogs {
 public:
  int boxes = 0;
  void messageBox(HWND, const std::string&, ui::BoxKind) override { ++boxes; }
  std::optional<std::string> openFile(HWND, const std::string&) override { return {}; }
  std::optional<std::string> saveFile(HWND, const std::string&, const std::string&,
                                      const std::string&, const std::string&, bool) override {
    return {};
  }
  std::optional<std::string> browseFolder(HWND, const std::string&) override { return {}; }
};

double msSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A left click at the middle of a row, through the input queue as a mouse gives it.
bool clickRowWithMouse(HWND view, int row) {
  RECT r{};
  r.left = LVIR_LABEL;
  if (!SendMessageA(view, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&r)))
    return false;
  POINT p{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  ClientToScreen(view, &p);
  const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
  INPUT in[3]{};
  for (auto& i : in) {
    i.type = INPUT_MOUSE;
    i.mi.dx = p.x * 65535 / (w - 1);
    i.mi.dy = p.y * 65535 / (h - 1);
  }
  in[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  in[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
  in[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
  return SendInput(3, in, sizeof(INPUT)) == 3;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct WindowRun {
  Result result;
  std::vector<double> clicks;  // ms from the click to its row's details
};

// One run of the debuggee from the window, clicking rows while it streams when clicks.
WindowRun windowRun(Form& form, const std::string& debuggee, const std::string& params,
                    bool clicks) {
  WindowRun run;
  HWND view = form.eventList().handle();
  form.TargetPath = debuggee;
  form.TargetParams = params;
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  form.ErrorLogPath = temp;
  const UINT_PTR timer = clicks ? SetTimer(nullptr, 0, 300, nullptr) : 0;
  bool pending = false;
  int target = -1, nextOffset = 1, selectedBefore = -1;
  Clock::time_point clickedAt;
  const auto t0 = Clock::now();
  form.startRun();
  MSG msg;
  while (form.IsStarted && GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (timer != 0 && msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == timer) {
      if (!pending) {
        const int top = static_cast<int>(SendMessageA(view, LVM_GETTOPINDEX, 0, 0));
        const int count = static_cast<int>(SendMessageA(view, LVM_GETITEMCOUNT, 0, 0));
        nextOffset = nextOffset % 5 + 1;
        target = top + nextOffset;
        if (target < count && target != form.eventList().selected() && clickRowWithMouse(view, target)) {
          pending = true;
          selectedBefore = form.eventList().selected();
          clickedAt = Clock::now();
        }
      }
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    // The list may have scrolled meanwhile: any row newly selected by the click counts.
    if (pending && form.eventList().selected() != selectedBefore) {
      run.clicks.push_back(msSince(clickedAt));
      pending = false;
    }
  }
  run.result.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (timer != 0) KillTimer(nullptr, timer);
  form.flushEvents();
  run.result.events = static_cast<long long>(DebugEvents ? DebugEvents->count() : 0);
  return run;
}

int eventRate(const std::string& cli, const std::string& debuggee, long n, int rounds) {
  SilentDialogs dialogs;
  ui::setUiDialogs(&dialogs);
  Win32Platform platform;
  Win32HostSystem system;
  WindowSync sync;
  std::vector<Result> base, window;
  WindowRun clicked;
  {
    report::ProgramLifetime program(platform, sync, system, [](const std::string&) {});
    Form form;
    if (!form.create()) return 1;
    form.show(SW_SHOWNORMAL);
    SetForegroundWindow(form.handle());
    for (int r = 0; r < rounds; ++r) {
      base.push_back(runCli(cli + " run " + debuggee + " strings-bench " + std::to_string(n),
                            "bench_window_cli.txt"));
      window.push_back(windowRun(form, debuggee, "strings-bench " + std::to_string(n), false).result);
    }
    clicked = windowRun(form, debuggee, "strings-bench " + std::to_string(n), true);
    SendMessageA(form.handle(), WM_CLOSE, 0, 0);
  }
  ui::setUiDialogs(nullptr);
  auto medianRate = [](const std::vector<Result>& runs) {
    std::vector<double> rates;
    for (const auto& r : runs) rates.push_back(r.rate());
    return median(rates);
  };
  const double b = medianRate(base), w = medianRate(window);
  std::vector<double> ratios;
  for (int r = 0; r < rounds; ++r) ratios.push_back(window[r].rate() / base[r].rate());
  std::printf("debug strings:               %ld, rounds %d (medians)\n", n, rounds);
  std::printf("ostrel-cli run (baseline):   %.0f events/s\n", b);
  std::printf("window:                      %.0f events/s (%.0f%% of ostrel-cli run, target >= 55%%)\n",
              w, 100.0 * w / b);
  std::printf("median of round ratios:      %.0f%%\n", 100.0 * median(ratios));
  for (int r = 0; r < rounds; ++r)
    std::printf("round %d: cli %lld events %.0f/s, window %lld events %.0f/s\n", r + 1,
                base[r].events, base[r].rate(), window[r].events, window[r].rate());
  const std::vector<double>& clicks = clicked.clicks;
  const double worst = clicks.empty() ? 0 : *std::max_element(clicks.begin(), clicks.end());
  std::printf("clicks while streaming:      %zu, median %.1f ms, worst %.1f ms (target <= 200 ms)\n",
              clicks.size(), median(clicks), worst);
  std::printf("window while clicked:        %.0f events/s\n", clicked.result.rate());
  return 0;
}

// Dispatches this thread's messages until done() holds.
void pumpUntil(const std::function<bool()>& done) {
  MSG msg;
  while (!done()) {
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
  }
}

bool mainProcessExited() {
  const size_t count = DebugEvents ? DebugEvents->count() : 0;
  if (count == 0 || !CurrentDebugThread) return false;
  const TDbgEvent* last = DebugEvents->at(count - 1);
  return last->DebugEvent.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT_CODE &&
         last->DebugEvent.dwProcessId == CurrentDebugThread->MainProcessId;
}

DWORD handles() { return wine_test::handleCount(); }

int soak(const std::string& debuggee, const std::string& mix) {
  const std::string params = "soak " + mix;
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  Win32Platform platform;
  Win32HostSystem system;
  // Baseline: the engine alone records the same scenario.
  double engineBytes = 0;
  {
    DirectSync direct;
    report::ProgramLifetime program(platform, direct, system, [](const std::string&) {});
    const long long before = gLive.load();
    const auto t0 = Clock::now();
    DebugRun(debuggee, params, temp, {}, nullptr, false);
    while (!mainProcessExited()) Sleep(20);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const size_t events = DebugEvents->count();
    engineBytes = static_cast<double>(gLive.load() - before) / static_cast<double>(events);
    std::printf("engine alone:                %zu events in %.1f s (%.0f events/s), %.1f bytes per event\n",
                events, seconds, events / seconds, engineBytes);
    DebugStop();
    CurrentDebugThread->WaitFor();
  }
  SilentDialogs dialogs;
  ui::setUiDialogs(&dialogs);
  WindowSync sync;
  int result = 0;
  {
    report::ProgramLifetime program(platform, sync, system, [](const std::string&) {});
    Form form;
    if (!form.create()) return 1;
    form.show(SW_SHOWNORMAL);
    SetForegroundWindow(form.handle());
    const DWORD handlesBefore = handles();
    const long long before = gLive.load();
    WindowRun run = windowRun(form, debuggee, params, true);
    pumpUntil(mainProcessExited);
    form.flushEvents();
    const size_t events = DebugEvents->count();
    const double bytes = static_cast<double>(gLive.load() - before) / static_cast<double>(events);
    std::printf("window:                      %zu events in %.1f s (%.0f events/s), %.1f bytes per event\n",
                events, run.result.seconds, events / run.result.seconds, bytes);
    std::printf("window's own per event:      %.1f bytes (target <= 16)\n", bytes - engineBytes);
    const std::vector<double>& clicks = run.clicks;
    const double worst = clicks.empty() ? 0 : *std::max_element(clicks.begin(), clicks.end());
    std::printf("clicks while streaming:      %zu, median %.1f ms, worst %.1f ms (target <= 200 ms)\n",
                clicks.size(), median(clicks), worst);
    if (clicks.empty()) result = 1;

    // Stop in the middle of a second run.
    form.TargetPath = debuggee;
    form.TargetParams = params;
    form.ErrorLogPath = temp;
    form.startRun();
    pumpUntil([&] { return form.eventList().size() >= events / 2 || !form.IsStarted; });
    form.stopActionExecute();
    pumpUntil([] { return CurrentDebugThread->Finished(); });
    const DWORD handlesAfter = handles();
    std::printf("handles:                     %lu before Run, %lu after Stop at %zu events (target: within 4)\n",
                handlesBefore, handlesAfter, form.eventList().size());
    SendMessageA(form.handle(), WM_CLOSE, 0, 0);
  }
  ui::setUiDialogs(nullptr);
  return result;
}

std::string gMix = "all";  // --rows N strings|threads|dlls: one kind of event alone

void queueEvents(fake::FakePlatform& fake, int count) { queueBusyMix(fake, count, gMix); }

int rows(int count) {
  Win32HostSystem system;
  // Baseline: the engine alone records the events.
  long long engineBytes = 0;
  {
    fake::FakePlatform fake;
    DirectSync direct;
    report::ProgramLifetime program(fake, direct, system, [](const std::string&) {});
    queueEvents(fake, count);
    const long long before = gLive.load();
    const auto t0 = Clock::now();
    DebugRun("C:\\app\\sample.exe", "", "", {}, nullptr, false);
    while (DebugEvents->count() < static_cast<size_t>(count)) Sleep(10);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("engine alone:                %d events in %.1f s (%.0f events/s)\n", count,
                seconds, count / seconds);
    engineBytes = gLive.load() - before;
    DebugStop();
    CurrentDebugThread->WaitFor();
  }
  SilentDialogs dialogs;
  ui::setUiDialogs(&dialogs);
  fake::FakePlatform fake;
  WindowSync sync;
  int result = 0;
  {
    report::ProgramLifetime program(fake, sync, system, [](const std::string&) {});
    Form form;
    if (!form.create()) return 1;
    form.show(SW_SHOWNORMAL);
    SetForegroundWindow(form.handle());
    queueEvents(fake, count);
    const long long before = gLive.load();
    const auto t0 = Clock::now();
    form.TargetPath = "C:\\app\\sample.exe";
    form.startRun();
    MSG msg;
    while (form.eventList().size() < static_cast<size_t>(count) &&
           GetMessageA(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    const double fillSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    form.flushEvents();
    const long long windowBytes = gLive.load() - before;
    std::printf("events listed:               %zu in %.1f s (%.0f events/s over the scripted platform)\n",
                form.eventList().size(), fillSeconds, count / fillSeconds);
    std::printf("engine alone (baseline):     %.1f bytes per event\n",
                static_cast<double>(engineBytes) / count);
    std::printf("engine and window:           %.1f bytes per event\n",
                static_cast<double>(windowBytes) / count);
    std::printf("window's own per row:        %.1f bytes (target <= 64)\n",
                static_cast<double>(windowBytes - engineBytes) / count);

    // Scroll to the end, then click the last row with the mouse.
    HWND view = form.eventList().handle();
    std::vector<double> times;
    for (int attempt = 0; attempt < 5; ++attempt) {
      SendMessageA(view, LVM_ENSUREVISIBLE, 0, FALSE);
      UpdateWindow(view);
      const int last = count - 1;
      const auto c0 = Clock::now();
      SendMessageA(view, LVM_ENSUREVISIBLE, static_cast<WPARAM>(last), FALSE);
      UpdateWindow(view);
      if (!clickRowWithMouse(view, last)) break;
      // A click that never arrives (no display, another window in front) ends the wait.
      while (form.eventList().selected() != last && msSince(c0) < 10000) {
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
          MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
          continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
      if (form.eventList().selected() != last) break;
      UpdateWindow(form.handle());
      times.push_back(msSince(c0));
      // No row selected, so that the next click selects the last one anew; and a pause,
      // so that it is not taken for the second half of a double click.
      ListView_SetItemState(view, -1, 0, LVIS_SELECTED);
      const auto pause = Clock::now();
      while (msSince(pause) < GetDoubleClickTime() + 100) {
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
          TranslateMessage(&msg);
          DispatchMessageA(&msg);
        } else {
          MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
      }
    }
    if (times.empty()) {
      std::printf("scroll to the end and click: the click did not reach the list\n");
      result = 1;
    } else {
      std::printf("scroll to the end and click: median %.1f ms, worst %.1f ms over %zu (target < 100 ms)\n",
                  median(times), *std::max_element(times.begin(), times.end()), times.size());
    }
    SendMessageA(form.handle(), WM_CLOSE, 0, 0);
  }
  ui::setUiDialogs(nullptr);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--soak") == 0) {
    std::string mix;
    for (int i = 3; i < argc; ++i) mix += std::string(mix.empty() ? "" : " ") + argv[i];
    return soak(argv[2], mix);
  }
  if (argc >= 2 && std::strcmp(argv[1], "--rows") == 0) {
    if (argc > 3) gMix = argv[3];
    return rows(argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000000);
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_window OSTREL_CLI DEBUGGEE [N] [ROUNDS]\n"
                         "       bench_window --rows [N]\n"
                         "       bench_window --soak DEBUGGEE [THREADS CYCLES STRINGS]\n");
    return 2;
  }
  const long n = argc > 3 ? std::atol(argv[3]) : 100000;
  const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  return eventRate(argv[1], argv[2], n, rounds);
}
