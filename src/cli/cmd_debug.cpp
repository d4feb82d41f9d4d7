// ostrel-cli run / attach: a debug session driven from the console, one line per event.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "cli/commands.h"
#include "common/format.h"
#include "engine/debug_thread.h"
#include "excpack/exc_pkg_system.h"
#include "excpack/global_exc_pkg_types.h"
#include "excpack/version_info.h"

#ifdef _WIN32
#include "platform/win32/exc_pkg_system_win32.h"
#include "platform/win32/win32_platform.h"
#endif

namespace ostrel::cli {

#ifdef _WIN32

namespace {

bool parseInt(const std::string& text, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtoll(text.c_str(), &end, 10);
  return end && *end == 0;
}

std::string oneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

/// Prints the events of the current session as the event list export writes them.
TDebugCallbacks printingCallbacks() {
  TDebugCallbacks cb;
  cb.OnDebugEvent = [](int32_t number, const DebugEventRecord& event, TDllInfo*,
                       const std::string& details, uint8_t) {
    std::string name = DebugEventName(event.dwDebugEventCode);
    bool exception = event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT_CODE;
    if (exception) name += " - " + ExceptionChanceName(event.u.Exception.dwFirstChance, true);
    std::string line = std::to_string(number) + " " + hexP(event.dwProcessId) + " " +
                       hexP(event.dwThreadId) + " " + name + " " + details + "\n";
    if (exception) line += "Exception " + CurrentDebugThread->Info + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  };
  cb.OnWarning = [](const std::string& text) {
    std::fprintf(stderr, "warning: %s\n", oneLine(text).c_str());
    std::fflush(stderr);
  };
  return cb;
}

/// Engine and exception package start-up, in the program's order, and the way back.
class EngineScope {
 public:
  EngineScope(DebugPlatform& platform, MainThreadSync& sync) {
    excpack::setExcPkgSystem(&system_);
    setEnginePlatform(&platform, &sync);
    engineStartup();
    excpack::ExcPkgStartup();
    excpack::loadAppVersionBlock();
  }
  ~EngineScope() {
    engineShutdown(nullptr);
    excpack::freeAppVersionBlock();
    excpack::ExcPkgShutdown();
    excpack::setExcPkgSystem(nullptr);
  }

 private:
  Win32ExcPkgSystem system_;
};

struct SessionWatch {
  std::atomic<bool> terminateSeen{false};
};

/// Runs the main thread's side of a session until the worker has ended. stopWhen is
/// asked every few milliseconds whether to stop the session now.
template <class StopWhen>
int superviseSession(QueueSync* queue, SessionWatch& watch, StopWhen stopWhen) {
  TDebugThread& session = *CurrentDebugThread;
  bool stopped = false;
  while (!session.Finished()) {
    if (queue)
      queue->pump(20);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!stopped && (watch.terminateSeen.load() || stopWhen())) {
      stopped = true;
      Handle process = DebugStop();
      bool mainExited = watch.terminateSeen.load();
      if (session.Attached) {
        if (!mainExited) DebugActiveProcessStopProc(session.TargetProcessId);
      } else if (process && !mainExited) {
        enginePlatform()->terminateProcess(process, 0);
      }
    }
  }
  session.WaitFor();
  if (!session.ErrorText.empty()) {
    std::fprintf(stderr, "%s\n", session.ErrorText.c_str());
    return 3;
  }
  return 0;
}

}  // namespace

int cmdRun(const Args& args) {
  size_t i = 0;
  long long depth = 32;
  bool breakStacks = false;
  bool handoff = false;
  std::string errorDir = ".";
  for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
    if (args[i] == "--depth" && i + 1 < args.size() && parseInt(args[i + 1], depth) && depth >= 0 &&
        depth <= 100000) {
      ++i;
    } else if (args[i] == "--errdir" && i + 1 < args.size() && !args[i + 1].empty()) {
      errorDir = args[++i];
    } else if (args[i] == "--break-stacks") {
      breakStacks = true;
    } else if (args[i] == "--handoff") {
      handoff = true;  // notifications through a main-thread queue, as the window has them
    } else {
      std::fprintf(stderr, "ostrel-cli run: bad option '%s'\n", args[i].c_str());
      return 2;
    }
  }
  if (i >= args.size()) {
    std::fputs("usage: ostrel-cli run [--depth N] [--break-stacks] [--errdir DIR] EXE [ARGS...]\n",
               stderr);
    return 2;
  }
  std::string exe = args[i++];
  std::string parameters;
  for (; i < args.size(); ++i) parameters += (parameters.empty() ? "" : " ") + args[i];

  Win32Platform platform;
  QueueSync queue;
  DirectSync direct;
  EngineScope engine(platform, handoff ? static_cast<MainThreadSync&>(queue) : direct);
  StackDepth.store(static_cast<int32_t>(depth));
  SessionWatch watch;
  DebugRun(
      exe, parameters, errorDir, printingCallbacks(),
      [&watch](TDebugThread&) { watch.terminateSeen.store(true); }, breakStacks);
  int rc = superviseSession(handoff ? &queue : nullptr, watch, [] { return false; });
  if (handoff) std::fprintf(stderr, "hand-offs: %lld\n", queue.handled());
  return rc;
}

int cmdAttach(const Args& args) {
  long long pid = -1;
  long long seconds = -1;
  if (args.empty() || !parseInt(args[0], pid) || pid < 0 || pid > 0xFFFFFFFFLL) {
    std::fputs("usage: ostrel-cli attach PID [--for SECONDS]\n", stderr);
    return 2;
  }
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--for" && i + 1 < args.size() && parseInt(args[i + 1], seconds) &&
        seconds >= 0) {
      ++i;
    } else {
      std::fprintf(stderr, "ostrel-cli attach: bad option '%s'\n", args[i].c_str());
      return 2;
    }
  }
  Win32Platform platform;
  DirectSync direct;
  EngineScope engine(platform, direct);
  SessionWatch watch;
  DebugAttach(
      "", ".", static_cast<int32_t>(pid), printingCallbacks(),
      [&watch](TDebugThread&) { watch.terminateSeen.store(true); }, false);
  if (!CurrentDebugThread) {
    std::fputs("ostrel-cli attach: bad process id\n", stderr);
    return 2;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int rc = superviseSession(
      nullptr, watch, [&] { return seconds >= 0 && std::chrono::steady_clock::now() >= deadline; });
  return rc;
}

#else

int cmdRun(const Args&) {
  std::fputs("ostrel-cli run: debugging needs the Windows build\n", stderr);
  return 2;
}

int cmdAttach(const Args&) {
  std::fputs("ostrel-cli attach: debugging needs the Windows build\n", stderr);
  return 2;
}

#endif

}  // namespace ostrel::cli
