// Debug event throughput: a debuggee emits N debug strings. Baseline: a minimal
// debugger loop in this process that only waits, reads the string and continues.
// Measured against it in the same run: `ostrel-cli run` with its output going to a
// file, and the same with notifications handed to a pumping main thread (--handoff),
// as the main window receives them.
//
//   bench_event_rate.exe OSTREL_CLI DEBUGGEE [N]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
  long long events = 0;
  long long handoffs = 0;
  double seconds = 0;
  double rate() const { return seconds > 0 ? events / seconds : 0; }
};

Result minimalLoop(const std::string& commandLine) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::vector<char> cmd(commandLine.begin(), commandLine.end());
  cmd.push_back(0);
  Result r;
  auto t0 = Clock::now();
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, DEBUG_PROCESS, nullptr,
                      nullptr, &si, &pi)) {
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

/// Runs a command with stdout into a file; returns the elapsed time and the line count.
Result runCli(const std::string& commandLine, const std::string& outFile) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileA(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string errFile = outFile + ".err.txt";
  HANDLE err = CreateFileA(errFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out;
  si.hStdError = err;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  std::vector<char> cmd(commandLine.begin(), commandLine.end());
  cmd.push_back(0);
  Result r;
  auto t0 = Clock::now();
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    std::fprintf(stderr, "cannot start %s\n", commandLine.c_str());
    std::exit(1);
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  CloseHandle(out);
  CloseHandle(err);
  // One line per event, plus one per exception event.
  if (FILE* f = std::fopen(outFile.c_str(), "rb")) {
    char line[70000];
    while (std::fgets(line, sizeof line, f))
      if (std::strncmp(line, "Exception ", 10) != 0) ++r.events;
    std::fclose(f);
  }
  // With --handoff the front end reports how many calls crossed to its main thread.
  if (FILE* f = std::fopen(errFile.c_str(), "rb")) {
    char line[512];
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "hand-offs: %lld", &r.handoffs) == 1) break;
    std::fclose(f);
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_event_rate OSTREL_CLI DEBUGGEE [N]\n");
    return 2;
  }
  std::string cli = argv[1], debuggee = argv[2];
  long n = argc > 3 ? std::atol(argv[3]) : 100000;
  std::string target = debuggee + " strings-bench " + std::to_string(n);

  Result base = minimalLoop(target);
  Result direct = runCli(cli + " run " + target, "bench_event_rate_direct.txt");
  Result handoff = runCli(cli + " run --handoff " + target, "bench_event_rate_handoff.txt");

  std::printf("debug strings:                 %ld\n", n);
  std::printf("minimal loop:                  %lld events in %.2f s = %.0f events/s\n",
              base.events, base.seconds, base.rate());
  std::printf("ostrel-cli run:                %lld events in %.2f s = %.0f events/s (%.0f%% of minimal, target >= 90%%)\n",
              direct.events, direct.seconds, direct.rate(), 100.0 * direct.rate() / base.rate());
  std::printf("ostrel-cli run --handoff:      %lld events in %.2f s = %.0f events/s (%.0f%% of minimal)\n",
              handoff.events, handoff.seconds, handoff.rate(), 100.0 * handoff.rate() / base.rate());
  // Each hand-off wakes the main thread once and the worker once more.
  std::printf("hand-offs per event:           %.2f (%.2f thread wake-ups per event)\n",
              handoff.events ? double(handoff.handoffs) / handoff.events : 0.0,
              handoff.events ? 2.0 * handoff.handoffs / handoff.events : 0.0);
  return 0;
}
