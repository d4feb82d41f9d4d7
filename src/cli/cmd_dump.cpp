// ostrel-cli dump PID FILE.dmp [--full]: a minidump of a running process (a snapshot of a
// hung program). It attaches, waits until every thread is stopped, writes the dump and
// detaches; the process runs on.
// ostrel-cli dump report FILE.dmp [--maps DIR]...: any minidump read back, its threads'
// stacks walked and named through maps or export tables.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "report/dump_report.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "platform/win32/win32_platform.h"
#endif

namespace ostrel::cli {

namespace {

int reportDump(const Args& args) {
  std::string file;
  report::DumpReportOptions options;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--maps" && i + 1 < args.size() && !args[i + 1].empty()) {
      options.mapFolders.push_back(args[++i]);
    } else if (file.empty() && !args[i].empty() && args[i][0] != '-') {
      file = args[i];
    } else {
      file.clear();
      break;
    }
  }
  if (file.empty()) {
    std::fputs("usage: ostrel-cli dump report FILE.dmp [--maps DIR]...\n", stderr);
    return 2;
  }
  report::DumpReport dumpReport;
  std::string error;
  if (!report::buildDumpReport(file, options, dumpReport, error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return 1;
  }
  const std::string text = dumpReport.text();
#ifdef _WIN32
  // The same bytes as on any other system: line ends stay LF.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return 0;
}

}  // namespace

#ifdef _WIN32

namespace {

constexpr auto kStopLimit = std::chrono::seconds(30);

int fail(const std::string& text) {
  std::fprintf(stderr, "ostrel-cli dump: %s\n", text.c_str());
  return 3;
}

}  // namespace

int cmdDump(const Args& args) {
  if (!args.empty() && args[0] == "report") return reportDump(args);
  std::vector<std::string> plain;
  bool full = false;
  for (const std::string& a : args) {
    if (a == "--full")
      full = true;
    else
      plain.push_back(a);
  }
  char* end = nullptr;
  const unsigned long long pid =
      plain.size() == 2 && !plain[0].empty() && plain[0][0] >= '0' && plain[0][0] <= '9'
          ? std::strtoull(plain[0].c_str(), &end, 10)
          : 0;
  if (plain.size() != 2 || end == nullptr || *end != 0 || pid == 0 || pid > 0xFFFFFFFFull ||
      plain[1].empty()) {
    std::fputs("usage: ostrel-cli dump PID FILE.dmp [--full]\n", stderr);
    return 2;
  }
  const auto processId = static_cast<uint32_t>(pid);

  Win32Platform platform;
  if (!platform.debugActiveProcess(processId))
    return fail("cannot attach to process " + plain[0] + ": " + platform.lastErrorText());
  // Whatever becomes of this program, the process must not die with it.
  platform.setKillOnExit(false);

  // Every thread is stopped once the break-in's breakpoint arrives; until then each event
  // is continued as the process would have it run.
  Handle process = 0;
  std::vector<Handle> files, ownedHandles;
  DebugEventRecord held{};
  bool stopped = false, exited = false;
  std::string error;
  const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
  while (!stopped && !exited) {
    DebugEventRecord e{};
    const WaitResult waited = platform.waitForDebugEvent(e, 500);
    if (waited == WaitResult::Failed) {
      error = platform.lastErrorText();
      break;
    }
    if (waited == WaitResult::Timeout) {
      if (std::chrono::steady_clock::now() > deadline) {
        error = "the process did not stop";
        break;
      }
      continue;
    }
    uint32_t status = kDbgContinue;
    switch (e.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT_CODE:
        if (e.dwProcessId == processId) process = e.u.CreateProcessInfo.hProcess;
        files.push_back(e.u.CreateProcessInfo.hFile);
        ownedHandles.push_back(e.u.CreateProcessInfo.hProcess);
        ownedHandles.push_back(e.u.CreateProcessInfo.hThread);
        break;
      case CREATE_THREAD_DEBUG_EVENT_CODE:
        ownedHandles.push_back(e.u.CreateThread.hThread);
        break;
      case LOAD_DLL_DEBUG_EVENT_CODE:
        files.push_back(e.u.LoadDll.hFile);
        break;
      case EXIT_PROCESS_DEBUG_EVENT_CODE:
        exited = e.dwProcessId == processId;
        break;
      case EXCEPTION_DEBUG_EVENT_CODE:
        if (e.u.Exception.ExceptionRecord.ExceptionCode == kExceptionBreakpoint) {
          stopped = true;
          held = e;
          continue;  // held until the dump is written
        }
        status = kDbgExceptionNotHandled;
        break;
      default:
        break;
    }
    platform.continueDebugEvent(e.dwProcessId, e.dwThreadId, status);
  }

  if (stopped) {
    MinidumpRequest request;
    request.process = process != 0 ? process : platform.openProcess(processId);
    request.processId = processId;
    request.path = plain[1];
    request.kind = full ? MinidumpKind::FullMemory : MinidumpKind::Normal;
    if (!platform.writeMinidump(request, &error) && error.empty()) error = "write failed";
    if (process == 0) platform.closeHandle(request.process);
    platform.continueDebugEvent(held.dwProcessId, held.dwThreadId, kDbgContinue);
  } else if (exited && error.empty()) {
    error = "process " + plain[0] + " ended before it could be stopped";
  }
  const bool detached = exited || platform.debugActiveProcessStop(processId);
  for (Handle h : files) platform.closeHandle(h);
  if (!platform.systemClosesExitedHandles())
    for (Handle h : ownedHandles) platform.closeHandle(h);
  if (!error.empty()) return fail(error);
  if (!detached) return fail("could not detach from process " + plain[0]);
  std::printf("%s\n", plain[1].c_str());
  return 0;
}

#else

int cmdDump(const Args& args) {
  if (!args.empty() && args[0] == "report") return reportDump(args);
  std::fputs("ostrel-cli dump: writing a minidump needs the Windows build\n", stderr);
  return 2;
}

#endif

}  // namespace ostrel::cli
