// Helpers of the Wine integration tests: paths of the built programs, running a console
// program with captured output, and a bare debug loop over the real platform.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/debug_records.h"
#include "platform/win32/win32_platform.h"

namespace ostrel::itest {

/// ASCII lower case.
std::string lower(std::string s);
bool endsWith(const std::string& text, const std::string& tail);

/// A build path as Windows sees it: Unix paths under Wine become "Z:\...".
std::string windowsPath(const std::string& path);
std::string samplePath();
std::string cliPath();
/// The sample's command line: quoted path, one space, the scenario arguments.
std::string sampleCommand(const std::string& arguments);

struct RunResult {
  bool finished = false;  // false when the time limit killed it
  uint32_t exitCode = 0;
  std::string out;
  std::string err;
  std::vector<std::string> lines() const;
};

/// Runs a command line with stdout and stderr captured; kills it after limitMs.
RunResult runCaptured(const std::string& commandLine, uint32_t limitMs = 60000);

/// A process started without a debugger, killed (if still alive) when this goes.
class PlainProcess {
 public:
  /// Starts the command line; its first stdout line is available through firstLine().
  explicit PlainProcess(const std::string& commandLine);
  ~PlainProcess();
  PlainProcess(const PlainProcess&) = delete;
  PlainProcess& operator=(const PlainProcess&) = delete;
  bool started() const { return process_ != 0; }
  uint32_t id() const { return id_; }
  /// Reads the first line the process printed (waits for it).
  std::string firstLine();
  bool alive() const;
  void kill();

 private:
  uintptr_t process_ = 0;
  uintptr_t outRead_ = 0;
  uint32_t id_ = 0;
};

/// The calling thread as a minimal debugger over the real platform: start, wait,
/// continue. Whatever is still running at the end is killed and drained.
class BareDebugger {
 public:
  explicit BareDebugger(Win32Platform& platform) : platform_(platform) {}
  ~BareDebugger();
  BareDebugger(const BareDebugger&) = delete;
  BareDebugger& operator=(const BareDebugger&) = delete;

  bool start(const std::string& commandLine, std::string* error = nullptr);
  bool attach(uint32_t processId);
  /// The next event (kept as last()); nullopt when none came within timeoutMs.
  std::optional<DebugEventRecord> next(uint32_t timeoutMs = 20000);
  /// Continues the last event: breakpoints and non-exceptions with DBG_CONTINUE,
  /// other exceptions unhandled.
  bool resume();
  /// Waits, continuing everything, until pred accepts an event (left uncontinued).
  std::optional<DebugEventRecord> until(const std::function<bool(const DebugEventRecord&)>& pred,
                                        uint32_t timeoutMs = 20000);
  /// Runs the debuggee to the end of its main process; returns its exit code.
  std::optional<uint32_t> runToExit(uint32_t timeoutMs = 30000);
  /// Detaches from an attached process after continuing the last event.
  bool detach();

  const DebugEventRecord& last() const { return last_; }
  const ProcessStartInfo& startInfo() const { return start_; }
  uint32_t mainProcessId() const { return mainProcessId_; }
  /// Process handle of the main process (from start, or its creation event).
  Handle mainProcess() const;

 private:
  void remember(const DebugEventRecord& event);
  void finish();

  Win32Platform& platform_;
  ProcessStartInfo start_{};
  DebugEventRecord last_{};
  bool pending_ = false;
  bool attached_ = false;
  bool mainExited_ = false;
  uint32_t mainProcessId_ = 0;
  Handle eventProcess_ = 0;
  std::vector<Handle> owned_;
};

}  // namespace ostrel::itest
