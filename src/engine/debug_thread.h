// A debug session: the worker that starts or attaches to the debuggee and runs the
// debug event loop, the nine notifications it hands to the main thread, and the
// control operations the owner calls from the main thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/event_records.h"
#include "engine/main_thread_sync.h"
#include "engine/registry.h"
#include "platform/debug_platform.h"

namespace ostrel {

class TDebugThread;

struct TDebugCallbacks {
  std::function<void(uint32_t excFrame, uint32_t stackBase, uint32_t stackTop, uint32_t esp)>
      OnStackInfo;
  std::function<void(int32_t number, const DebugEventRecord& event, TDllInfo* dll,
                     const std::string& details, uint8_t severity)>
      OnDebugEvent;
  std::function<void(bool flag)> OnStackOverflow;
  std::function<void(int32_t count)> OnThreadCount;
  std::function<void(int32_t count)> OnProcessCount;
  std::function<void(bool flag)> OnLastChance;
  std::function<void(int32_t index, const std::string& address, const std::string& module,
                     const std::string& unitName, const std::string& method,
                     const std::string& line, uint8_t reporting)>
      OnCallStackEntry;
  std::function<void(const std::string& text)> OnWarning;
  std::function<void(int32_t count)> OnExceptionCount;
};

using TNotifyEvent = std::function<void(TDebugThread& sender)>;

class TDebugThread {
 public:
  TDebugThread(DebugPlatform& platform, MainThreadSync& sync);
  /// Asks the worker to end, waits for it, and closes the handles the session owns.
  ~TDebugThread();
  TDebugThread(const TDebugThread&) = delete;
  TDebugThread& operator=(const TDebugThread&) = delete;

  /// Starts the worker (the session was created suspended).
  void Start();
  /// Sets the terminated flag; the worker sees it after the next continued event, or
  /// on its next idle wake-up when no event comes.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  /// Cooperative pause: the worker stops before it handles its next event.
  void Suspend();
  void Resume();
  bool Suspended() const;
  /// Blocks until the worker has ended.
  void WaitFor();
  bool Finished() const { return finished_.load(); }
  /// Detaches from an attached debuggee. The debug API only lets the debugging thread
  /// detach, so the worker does it: it detaches at its next wake-up and ends. Blocks
  /// until then; returns the result of the detach.
  bool DetachFromWorker(uint32_t processId);

  // --- set by the control operations ---
  std::string ExePath;
  std::string Parameters;
  std::string ErrorDir;
  uint32_t TargetProcessId = 0;
  bool Attached = false;
  bool ShowStackOnBreak = false;
  int32_t EventNumber = 0;
  int32_t ThreadCount = 0;
  TDebugCallbacks Callbacks;
  TNotifyEvent OnTerminate;

  // --- filled by the loop ---
  uint32_t MainProcessId = 0;
  Handle ProcessHandle = 0;
  int32_t ProcessCount = 0;
  int32_t ExceptionCount = 0;
  uint8_t Severity = 0;
  bool StackOverflow = false;
  bool LastChance = false;
  std::string Details;
  std::string Info;
  TDllInfo* CurrentDll = nullptr;
  std::string WarningText;
  std::string ErrorText;
  Address MainImageAddress = 0;
  Address CodeBase = 0;
  TEventCallStack CallStack;
  TCallStack RawStack;
  std::string StackModules;
  std::string ErrorLogName;
  DebugEventRecord DebugEvent{};
  // Snapshots: start and walk share one context; the exception snapshot has its own.
  ThreadContext WalkContext{};
  StackInfoBlock StartStackInfo{};
  StackInfoBlock WalkStackInfo{};
  ThreadContext ExceptionContext{};
  StackInfoBlock ExceptionStackInfo{};

  /// How long one wait for a debug event lasts before the worker looks at its flags.
  static constexpr uint32_t kIdleWaitMs = 100;

 protected:
  /// The event loop.
  void Execute();
  /// Calls OnTerminate on the main thread, if assigned.
  void DoTerminate();

 private:
  void run();
  void startUp();
  /// Returns false when the loop must end.
  bool turn();
  void handleEvent(std::unique_ptr<TDllInfo>& dll);
  void handleCreateProcess();
  void handleException();
  void takeStartSnapshot();
  void sync(const std::function<void()>& fn);
  Handle readHandleFor(uint32_t processId) const;
  void passGate();
  Handle faultingThread(uint32_t threadId) const;
  /// Walk snapshot, range choice and raw scan; a failed scan counts 0.
  int32_t scanStack(TCallStack& stack, int32_t depth, Handle process, Handle thread);
  /// Publishes entries [first, end) to the event's call stack and, unless quiet, to the
  /// main thread.
  void reportStackEntries(const TCallStack& stack, int32_t first, int32_t end, bool quiet,
                          const std::function<std::string(Address)>& moduleName);
  void leaveLoop();
  void closeOwnedHandles();

  DebugPlatform& platform_;
  MainThreadSync& sync_;
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};

  mutable std::mutex gateMutex_;
  std::condition_variable gateChanged_;
  bool suspended_ = false;
  uint32_t detachProcessId_ = 0;
  bool detachRequested_ = false;
  bool detachDone_ = false;
  bool detachResult_ = false;

  // main process information
  Handle mainProcess_ = 0;
  Handle mainThread_ = 0;
  uint32_t mainThreadId_ = 0;
  Handle attachReadHandle_ = 0;
  bool createdProcess_ = false;
  bool stackOverflowSeen_ = false;
  bool snapshotFailed_ = false;
  bool warningShown_ = false;
  std::string exceptionModule_;
  // Full path of the main executable as the system names it (for the exception log).
  std::string mainImagePath_;
  // Process handles of every debuggee process by id, for reads of child processes.
  std::map<uint32_t, Handle> processHandles_;
  // Thread handles by id from thread-creation events (the initial thread is mainThread_).
  struct ThreadEntry {
    uint32_t processId;
    Handle handle;
  };
  std::map<uint32_t, ThreadEntry> threadHandles_;
  // Image file handles delivered with events, closed on unload, exit or session end.
  std::map<Address, Handle> dllFiles_;
  std::map<uint32_t, Handle> imageFiles_;
};

// --- program-wide engine state -----------------------------------------------------

extern std::unique_ptr<TDbgEventList> DebugEvents;
extern std::unique_ptr<TUsedThreads> UsedThreads;
extern std::unique_ptr<TUsedProcesses> UsedProcesses;
/// The current (or last) session, null until the first one.
extern std::unique_ptr<TDebugThread> CurrentDebugThread;
/// Stack depth setting: bounds first-chance scans and sizes each event's call stack.
extern std::atomic<int32_t> StackDepth;
/// Set while a scan is being published.
extern std::atomic<bool> StackReporting;
/// True when the platform offers DebugActiveProcessStop.
extern bool DebugActiveProcessStopAvailable;

/// The platform and hand-off that new sessions use.
void setEnginePlatform(DebugPlatform* platform, MainThreadSync* sync);
DebugPlatform* enginePlatform();

/// Creates DebugEvents, UsedThreads and UsedProcesses, and resolves the detach call.
void engineStartup();
/// The balance check: warns about unbalanced threads and processes through warningBox,
/// then destroys the lists.
void engineShutdown(const std::function<void(const std::string&)>& warningBox);

bool LoadDebugActiveProcessStop();
void DebugRun(const std::string& exePath, const std::string& parameters,
              const std::string& errorDir, const TDebugCallbacks& callbacks,
              const TNotifyEvent& onTerminate, bool showStackOnBreak);
void DebugAttach(const std::string& exePath, const std::string& errorDir, int32_t processId,
                 const TDebugCallbacks& callbacks, const TNotifyEvent& onTerminate,
                 bool showStackOnBreak);
/// Asks the session to end; returns its process handle (0 for an attached session, for
/// no session, or when the session was already asked to end).
Handle DebugStop();
void DebugSuspend();
void DebugResume();
/// Detaches the current attached session from processId (run on its worker). False
/// when there is no attached session or the platform cannot detach.
bool DebugActiveProcessStopProc(uint32_t processId);

}  // namespace ostrel
