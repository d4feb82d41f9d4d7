// ostrel-cli run / attach: a debug session driven from the console, one line per event.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cli/attach_args.h"
#include "cli/commands.h"
#include "engine/debug_thread.h"
#include "report/event_lines.h"
#include "report/stack_lines.h"
#include "report/program_lifetime.h"

#ifdef _WIN32
#include "platform/win32/win32_host_system.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/window_sync.h"
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

bool parseDumpKind(const std::string& text, MinidumpKind& out) {
  if (text == "none")
    out = MinidumpKind::None;
  else if (text == "normal")
    out = MinidumpKind::Normal;
  else if (text == "full")
    out = MinidumpKind::FullMemory;
  else
    return false;
  return true;
}

std::string oneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

void warn(const std::string& text) {
  std::fprintf(stderr, "warning: %s\n", oneLine(text).c_str());
  std::fflush(stderr);
}

/// Prints the events of the current session as the event list export writes them; with a
/// symbolizer, each exception's call stack follows its lines.
TDebugCallbacks printingCallbacks(Symbolizer* stacks = nullptr) {
  TDebugCallbacks cb;
  cb.OnDebugEvent = [stacks](int32_t number, const DebugEventRecord& event, TDllInfo*,
                             const std::string& details, uint8_t) {
    std::string line = report::exportLine(report::eventRow(number, event, details)) + "\n";
    if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT_CODE) {
      line += report::exceptionLine(CurrentDebugThread->Info) + "\n";
      const TDbgEvent* recorded = stacks ? DebugEvents->FindByNumber(number) : nullptr;
      if (recorded) line += report::stackLines(recorded->CallStack, *stacks);
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  };
  cb.OnWarning = warn;
  return cb;
}

/// The hand-off of the session: straight calls on the worker, or (--handoff) the window
/// program's message-only window served by this thread.
struct FrontEnd {
  explicit FrontEnd(bool handoff) {
    if (handoff)
      window = std::make_unique<WindowSync>();
    else
      direct = std::make_unique<DirectSync>();
  }
  MainThreadSync& sync() {
    return window ? static_cast<MainThreadSync&>(*window) : static_cast<MainThreadSync&>(*direct);
  }
  void reportHandoffs() const {
    if (window) std::fprintf(stderr, "hand-offs: %lld\n", window->handled());
  }

  Win32Platform platform;
  Win32HostSystem system;
  std::unique_ptr<WindowSync> window;
  std::unique_ptr<DirectSync> direct;
};

struct SessionWatch {
  std::atomic<bool> terminateSeen{false};
};

/// Runs the main thread's side of a session until the worker has ended, serving the
/// hand-off. stopWhen is asked every few milliseconds whether to stop the session now.
template <class StopWhen>
int superviseSession(MainThreadSync& sync, SessionWatch& watch, StopWhen stopWhen) {
  TDebugThread& session = *CurrentDebugThread;
  bool stopped = false;
  while (!session.Finished()) {
    sync.serveUntil([&] { return session.Finished(); }, 20);
    if (!stopped && (watch.terminateSeen.load() || stopWhen())) {
      stopped = true;
      const bool mainExited = watch.terminateSeen.load();
      // A started program is terminated by the session itself as it ends.
      DebugStop(!session.Attached && !mainExited);
      if (session.Attached && !mainExited &&
          !DebugActiveProcessStopProc(session.TargetProcessId))
        warn("Could not detach from process " + std::to_string(session.TargetProcessId) +
             "; it may have been ended");
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
  bool stacks = false;
  MinidumpKind dumpKind = MinidumpKind::Normal;
  std::string errorDir = ".";
  for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
    if (args[i] == "--depth" && i + 1 < args.size() && parseInt(args[i + 1], depth) && depth >= 0 &&
        depth <= 100000) {
      ++i;
    } else if (args[i] == "--errdir" && i + 1 < args.size() && !args[i + 1].empty()) {
      errorDir = args[++i];
    } else if (args[i] == "--dump" && i + 1 < args.size() && parseDumpKind(args[i + 1], dumpKind)) {
      ++i;
    } else if (args[i] == "--break-stacks") {
      breakStacks = true;
    } else if (args[i] == "--handoff") {
      handoff = true;
    } else if (args[i] == "--stacks") {
      stacks = true;
    } else {
      std::fprintf(stderr, "ostrel-cli run: bad option '%s'\n", args[i].c_str());
      return 2;
    }
  }
  if (i >= args.size()) {
    std::fputs(
        "usage: ostrel-cli run [--depth N] [--break-stacks] [--stacks] [--errdir DIR] "
        "[--dump none|normal|full] [--handoff] EXE [ARGS...]\n",
        stderr);
    return 2;
  }
  std::string exe = args[i++];
  std::string parameters;
  for (; i < args.size(); ++i) parameters += (parameters.empty() ? "" : " ") + args[i];

  FrontEnd front(handoff);
  int rc = 0;
  {
    report::ProgramLifetime program(front.platform, front.sync(), front.system, warn);
    StackDepth.store(static_cast<int32_t>(depth));
    SessionWatch watch;
    // Every module's map beside it names its entries; the maps live as long as the run.
    Symbolizer symbolizer(true);
    DebugRun(
        exe, parameters, errorDir, printingCallbacks(stacks ? &symbolizer : nullptr),
        [&watch](TDebugThread&) { watch.terminateSeen.store(true); }, breakStacks, dumpKind);
    rc = superviseSession(front.sync(), watch, [] { return false; });
  }
  front.reportHandoffs();
  return rc;
}

int cmdAttach(const Args& args) {
  std::string error;
  const std::optional<AttachArgs> parsed = parseAttachArgs(args, error);
  if (!parsed) {
    if (error.empty())
      std::fputs("usage: ostrel-cli attach PID [--for SECONDS] [--handoff]\n", stderr);
    else
      std::fprintf(stderr, "ostrel-cli attach: %s\n", error.c_str());
    return 2;
  }
  const uint32_t pid = parsed->processId;
  const std::optional<std::chrono::seconds> duration = parsed->duration;
  FrontEnd front(parsed->handoff);
  int rc = 0;
  {
    report::ProgramLifetime program(front.platform, front.sync(), front.system, warn);
    SessionWatch watch;
    // The engine's process id is signed (-1 meaning none chosen); the bits are the id.
    DebugAttach(
        "", ".", static_cast<int32_t>(pid), printingCallbacks(),
        [&watch](TDebugThread&) { watch.terminateSeen.store(true); }, false);
    if (!CurrentDebugThread) {
      std::fputs("ostrel-cli attach: bad process id\n", stderr);
      return 2;
    }
    // The duration is clamped, so the deadline cannot overflow into the past.
    const auto deadline =
        std::chrono::steady_clock::now() + duration.value_or(std::chrono::seconds(0));
    rc = superviseSession(front.sync(), watch,
                          [&] { return duration && std::chrono::steady_clock::now() >= deadline; });
  }
  front.reportHandoffs();
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
