// What the benchmarks under Wine share: one run's figures, and a front end run with its
// output going to a file.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace ostrel::bench {

using Clock = std::chrono::steady_clock;

struct Result {
  long long events = 0;
  long long handoffs = 0;
  double seconds = 0;
  double rate() const { return seconds > 0 ? events / seconds : 0; }
};


/// Runs a command with stdout into a file; returns the elapsed time and the line count.
inline Result runCli(const std::string& commandLine, const std::string& outFile) {
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

}  // namespace ostrel::bench
