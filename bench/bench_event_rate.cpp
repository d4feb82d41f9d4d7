// Debug event throughput: a debuggee emits N debug strings. Baseline: a minimal
// debugger loop in this process that only waits, reads the string and continues.
// Measured against it in the same run: `ostrel-cli run` with its output going to a
// file, and the same with notifications handed to the main thread through the window
// program's hand-off (--handoff), as the main window receives them.
//
// The three runs alternate over several rounds and the medians are compared, since the
// cost of one debug event under Wine swings with whatever else the machine does.
//
//   bench_event_rate.exe OSTREL_CLI DEBUGGEE [N] [ROUNDS]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_run.h"

namespace {

using namespace ostrel::bench;

Result minimalLoop(const std::string& commandLine) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::vector<char> cmd(commandLine.begin(), commandLine.end());
  cmd.push_back(0);
  Result r;
  auto t0 = Clock::now();
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, DEBUG_PROCESS, nullptr, nullptr,
                      &si, &pi)) {
    std::fprintf(stderr, "cannot start %s\n", commandLine.c_str());
    std::exit(1);
  }
  char text[65536];
  for (;;) {
    DEBUG_EVENT e{};
    if (!WaitForDebugEvent(&e, INFINITE)) break;
    ++r.events;
    DWORD status = DBG_CONTINUE;
    if (e.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT) {
      SIZE_T got = 0;
      ReadProcessMemory(pi.hProcess, e.u.DebugString.lpDebugStringData, text,
                        e.u.DebugString.nDebugStringLength, &got);
    } else if (e.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
               e.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
      status = DBG_EXCEPTION_NOT_HANDLED;
    } else if (e.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && e.u.LoadDll.hFile) {
      CloseHandle(e.u.LoadDll.hFile);
    } else if (e.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && e.u.CreateProcessInfo.hFile) {
      CloseHandle(e.u.CreateProcessInfo.hFile);
    }
    bool last = e.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT && e.dwProcessId == pi.dwProcessId;
    ContinueDebugEvent(e.dwProcessId, e.dwThreadId, status);
    if (last) break;
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  // Only the minimal loop, for tracing it alone: bench_event_rate --minimal DEBUGGEE N
  if (argc == 4 && std::strcmp(argv[1], "--minimal") == 0) {
    Result r = minimalLoop(std::string(argv[2]) + " strings-bench " + argv[3]);
    std::printf("minimal loop: %lld events in %.2f s = %.0f events/s\n", r.events, r.seconds,
                r.rate());
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_event_rate OSTREL_CLI DEBUGGEE [N]\n");
    return 2;
  }
  std::string cli = argv[1], debuggee = argv[2];
  long n = argc > 3 ? std::atol(argv[3]) : 100000;
  std::string target = debuggee + " strings-bench " + std::to_string(n);

  int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  std::vector<Result> base, direct, handoff;
  for (int r = 0; r < rounds; ++r) {
    base.push_back(minimalLoop(target));
    direct.push_back(runCli(cli + " run " + target, "bench_event_rate_direct.txt"));
    handoff.push_back(runCli(cli + " run --handoff " + target, "bench_event_rate_handoff.txt"));
  }
  auto median = [](std::vector<Result> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Result& a, const Result& b) { return a.rate() < b.rate(); });
    return runs[runs.size() / 2];
  };
  Result b = median(base), d = median(direct), h = median(handoff);

  std::printf("debug strings:                 %ld, rounds %d (medians)\n", n, rounds);
  std::printf("minimal loop:                  %lld events in %.2f s = %.0f events/s\n", b.events,
              b.seconds, b.rate());
  std::printf(
      "ostrel-cli run:                %lld events in %.2f s = %.0f events/s (%.0f%% of minimal, "
      "target >= 90%%)\n",
      d.events, d.seconds, d.rate(), 100.0 * d.rate() / b.rate());
  std::printf(
      "ostrel-cli run --handoff:      %lld events in %.2f s = %.0f events/s (%.0f%% of minimal, "
      "target >= 60%%)\n",
      h.events, h.seconds, h.rate(), 100.0 * h.rate() / b.rate());
  // The same comparison round by round: each round's runs follow each other closely, so
  // their ratio suffers less from the machine's drift than the ratio of medians.
  auto medianRatio = [&](const std::vector<Result>& runs) {
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) ratios.push_back(runs[r].rate() / base[r].rate());
    std::sort(ratios.begin(), ratios.end());
    return 100.0 * ratios[ratios.size() / 2];
  };
  std::printf("median of round ratios:        run %.0f%%, run --handoff %.0f%%\n",
              medianRatio(direct), medianRatio(handoff));
  // Each hand-off wakes the main thread once and the worker once more.
  std::printf("hand-offs per event:           %.2f (%.2f thread wake-ups per event)\n",
              h.events ? double(h.handoffs) / h.events : 0.0,
              h.events ? 2.0 * h.handoffs / h.events : 0.0);
  for (int r = 0; r < rounds; ++r)
    std::printf("round %d: minimal %.0f, run %.0f, run --handoff %.0f events/s\n", r + 1,
                base[r].rate(), direct[r].rate(), handoff[r].rate());
  return 0;
}
