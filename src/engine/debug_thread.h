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
#include "engine/live_memory_source.h"
#include "engine/registry.h"
#include "platform/debug_platform.h"
#include "platform/main_thread_sync.h"
#include "platform/owned_handle.h"

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
  // index -1 is the exception address ("E:"); foundBy is how the entry was found. While it
  // runs, the session's CallStack holds the entries published, in order.
  std::function<void(int32_t index, const std::string& address, const std::string& module,
                     const std::string& unitName, const std::string& method,
                     const std::string& line, uint8_t reporting, const std::string& foundBy)>
      OnCallStackEntry;
  std::function<void(const std::string& text)> OnWarning;
  std::function<void(int32_t count)> OnExceptionCount;
};

using TNotifyEvent = std::function<void(TDebugThread& sender)>;

/// What the last last-chance exception of a session left behind, copied under the
/// session's guard (the worker may be storing the next one meanwhile).
struct TLastChanceResults {
  std::string ErrorLogName;
  std::string StackModules;
  TCallStack RawStack;
  std::string DumpName;  // the minidump beside the log; empty when none was written
};

/// A debug session. The control operations and every wait run on the main thread (the
/// thread that serves the hand-off); the loop runs on the session's own worker.
///
/// Fields: the worker writes the loop's fields; the main thread reads them in the
/// notification handlers (the worker is blocked meanwhile) or after the session has ended.
/// Counters and flags are atomics, and the values a user action may want at any time have
/// guarded accessors (processHandle(), exePath(), lastChanceResults()).
class TDebugThread {
 public:
  TDebugThread(DebugPlatform& platform, MainThreadSync& sync);
  /// Mutes the session, asks it to end, waits for the worker while serving the hand-off,
  /// and closes the handles the session owns. Must not run inside one of this session's
  /// own notifications (see InsideOwnNotification).
  ~TDebugThread();
  TDebugThread(const TDebugThread&) = delete;
  TDebugThread& operator=(const TDebugThread&) = delete;

  /// Starts the worker (the session was created suspended). When the system gives no
  /// thread, the session ends at once: ErrorText says so and OnTerminate runs here, on
  /// the calling (main) thread.
  void Start();
  /// Sets the terminated flag; the worker sees it after the next continued event, or
  /// on its next idle wake-up when no event comes. With endDebuggee the worker terminates
  /// the program it started (unless it has exited) as it leaves its loop.
  void Terminate(bool endDebuggee = false);
  bool Terminated() const { return terminated_.load(); }
  /// Cooperative pause: the worker stops before it handles its next event.
  void Suspend();
  void Resume();
  bool Suspended() const;
  /// Waits until the worker has ended, serving the hand-off meanwhile. Returns false at
  /// once when called from inside one of this session's own notifications: the worker
  /// cannot end before that notification returns.
  bool WaitFor();
  bool Finished() const { return finished_.load(); }
  /// From here on no notification of this session reaches its handlers (main thread).
  /// Used when the session is replaced or the program ends.
  void Mute();
  /// True while the calling thread runs one of this session's notifications.
  bool InsideOwnNotification() const;
  /// Ends an attached session and reports whether the worker detached from processId.
  /// The debug API only lets the debugging thread detach: the worker detaches whenever
  /// it leaves its loop while attached to a live debuggee, and this waits (serving the
  /// hand-off) until the session has ended. False for another process id, when the debuggee had
  /// exited, when detaching failed, or when called inside a notification of this session
  /// (the detach then still happens once the notification has returned).
  bool DetachFromWorker(uint32_t processId);

  /// Guarded copies of values the owner may read at any time.
  Handle processHandle() const { return ProcessHandle.load(); }
  std::string exePath() const;
  TLastChanceResults lastChanceResults() const;
  /// True while this session publishes a scan (its call stack entries are on their way to
  /// the main thread).
  bool stackReporting() const { return stackReporting_.load(); }

  // --- set by the control operations (before Start) ---
  std::string ExePath;  // an attached session's is filled at process creation, guarded
  std::string Parameters;
  std::string ErrorDir;
  uint32_t TargetProcessId = 0;
  bool Attached = false;
  bool ShowStackOnBreak = false;
  /// The minidump written beside each last-chance exception's log.
  MinidumpKind DumpKind = MinidumpKind::Normal;
  std::atomic<int32_t> EventNumber{0};
  std::atomic<int32_t> ThreadCount{0};
  TDebugCallbacks Callbacks;
  TNotifyEvent OnTerminate;

  // --- filled by the loop ---
  std::atomic<uint32_t> MainProcessId{0};
  std::atomic<Handle> ProcessHandle{0};
  std::atomic<int32_t> ProcessCount{0};
  std::atomic<int32_t> ExceptionCount{0};
  std::atomic<uint8_t> Severity{0};
  std::atomic<bool> StackOverflow{false};
  std::atomic<bool> LastChance{false};
  std::string Details;
  std::string Info;
  TDllInfo* CurrentDll = nullptr;
  std::string WarningText;
  std::string ErrorText;  // read it after the session has ended
  Address MainImageAddress = 0;
  std::atomic<Address> CodeBase{0};  // read by the main thread at any time
  std::atomic<Address> MainImageBase{0};  // where the main module lies; read at any time
  TEventCallStack CallStack;
  // Written under the session's guard; see lastChanceResults().
  TCallStack RawStack;
  std::string StackModules;
  std::string ErrorLogName;
  std::string DumpName;
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
  enum class DetachOutcome { Pending, Detached, Failed, NotAttached };

  void run();
  void startUp();
  /// Returns false when the loop must end.
  bool turn();
  void handleEvent(std::unique_ptr<TDllInfo>& dll);
  void handleCreateProcess();
  void handleException();
  void takeStartSnapshot();
  /// Runs fn on the main thread as a notification of this session, unless muted.
  void sync(const std::function<void()>& fn);
  /// Main-thread wait for the worker that keeps serving the hand-off; false when it cannot
  /// wait (inside one of this session's own notifications).
  bool waitServing(const std::function<bool()>& done);
  Handle readHandleFor(uint32_t processId) const;
  /// False when the gate was closed (suspended) and a stop request, not Resume, opened it.
  bool passGate();
  /// Continues the event held at a closed gate without recording it, and ends the loop.
  void dropHeldEvent();
  /// Leaving the loop: detaches from a live attached debuggee (the worker is its debugger).
  void detachOnLeaving();
  Handle faultingThread(uint32_t threadId) const;
  /// Writes the minidump of a last-chance exception beside its stored log; returns its
  /// name, or empty with *failure set to the warning when the write failed.
  std::string writeLastChanceDump(const std::string& logName, Handle process, Handle thread,
                                  std::string* failure);
  /// Walk snapshot, range choice and raw scan; a failed scan counts 0.
  int32_t scanStack(TCallStack& stack, int32_t depth, Handle process, Handle thread);
  /// Publishes entries [first, end) to the event's call stack, lists them with the frames
  /// the walk verified (bounded by walkBound) and, unless quiet, sends the listed entries
  /// to the main thread.
  void reportStackEntries(const TCallStack& stack, int32_t first, int32_t end, bool quiet,
                          const std::function<std::string(Address)>& moduleName,
                          Handle process, Address exceptionAddress, int32_t walkBound);
  /// The modules of a process, read once and kept until a module of it comes or goes.
  std::shared_ptr<const LiveModuleList> modulesOf(uint32_t processId, Handle process);
  /// Keeps the module list of a process up to date with an event that loads or unloads.
  void noteModuleEvent(const DebugEventRecord& e, const std::string& path);
  void leaveLoop();
  void closeOwnedHandles();
  /// Takes over the handles an event delivers as soon as it arrives, whatever becomes of
  /// the event: process, thread and image file handles of creation events, DLL files.
  void takeDeliveredHandles(const DebugEventRecord& e);
  /// After an event has been continued: lets go of the handles of what has ended with
  /// it (a thread, a process with its threads and files, an unloaded DLL's file).
  void releaseEnded(const DebugEventRecord& e);
  /// Leaving the loop: closes every handle the events delivered that is still held (the
  /// process and thread handles of a process detached from are the system's, where it
  /// closes them).
  void releaseEventHandles();

  DebugPlatform& platform_;
  MainThreadSync& sync_;
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> endDebuggee_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> muted_{false};
  std::atomic<bool> stackReporting_{false};
  // The thread running one of this session's notifications right now, if any.
  std::atomic<std::thread::id> handlerThread_{};
  std::atomic<DetachOutcome> detach_{DetachOutcome::Pending};

  mutable std::mutex gateMutex_;
  std::condition_variable gateChanged_;
  bool suspended_ = false;

  // Guards ExePath (of an attached session) and the last-chance results.
  mutable std::mutex resultsMutex_;

  // main process information
  Handle mainProcess_ = 0;
  Handle mainThread_ = 0;
  uint32_t mainThreadId_ = 0;
  Handle attachReadHandle_ = 0;
  bool attachedToTarget_ = false;  // DebugActiveProcess succeeded
  bool mainExited_ = false;        // the main process reported its exit
  bool stackOverflowSeen_ = false;
  bool snapshotFailed_ = false;
  bool walkSnapshotOk_ = false;  // the last scanStack could read the thread's registers
  // Per process: the modules the load events named (base -> path), and the module list
  // read for walks while no module came or went.
  std::map<uint32_t, std::map<Address, std::string>> loadedImages_;
  std::map<uint32_t, std::shared_ptr<const LiveModuleList>> moduleLists_;
  bool warningShown_ = false;
  std::string exceptionModule_;
  // Full path of the main executable as the system names it (for the exception log).
  std::string mainImagePath_;
  // Handles of CreateProcess (or the attach read handle), kept until the session is
  // destroyed: processHandle() hands the process handle out.
  OwnedHandle ownedProcess_;
  OwnedHandle ownedThread_;
  // Handles the debug events delivered, by the process they belong to; an entry goes
  // with its process's exit, whatever is left with the loop.
  struct DebuggeeHandles {
    OwnedHandle process;  // for reads of that process
    OwnedHandle imageFile;
    std::map<Address, OwnedHandle> dllFiles;  // by base
  };
  std::map<uint32_t, DebuggeeHandles> processes_;
  // Thread handles by id from creation events.
  struct ThreadEntry {
    uint32_t processId;
    OwnedHandle handle;
  };
  std::map<uint32_t, ThreadEntry> threads_;
};

// --- program-wide engine state -----------------------------------------------------

extern std::unique_ptr<TDbgEventList> DebugEvents;
extern std::unique_ptr<TUsedThreads> UsedThreads;
extern std::unique_ptr<TUsedProcesses> UsedProcesses;
/// The current (or last) session, null until the first one.
extern std::unique_ptr<TDebugThread> CurrentDebugThread;
/// Stack depth setting: bounds first-chance scans and sizes each event's call stack.
extern std::atomic<int32_t> StackDepth;
/// True when the platform offers DebugActiveProcessStop.
extern bool DebugActiveProcessStopAvailable;

/// The platform and hand-off that new sessions use.
void setEnginePlatform(DebugPlatform* platform, MainThreadSync* sync);
DebugPlatform* enginePlatform();

/// Starts a session's worker running body. Replaceable, so that tests can make it fail as
/// std::thread does when the system has no thread to give; an empty one restores
/// std::thread.
using WorkerLauncher = std::function<std::thread(std::function<void()> body)>;
void setWorkerLauncher(WorkerLauncher launcher);

/// Creates DebugEvents, UsedThreads and UsedProcesses, and resolves the detach call.
void engineStartup();
/// Ends every session (muted; each wait serves the hand-off), then the balance check:
/// warns about unbalanced threads and processes through warningBox, and destroys the lists.
void engineShutdown(const std::function<void(const std::string&)>& warningBox);

bool LoadDebugActiveProcessStop();
void DebugRun(const std::string& exePath, const std::string& parameters,
              const std::string& errorDir, const TDebugCallbacks& callbacks,
              const TNotifyEvent& onTerminate, bool showStackOnBreak,
              MinidumpKind dumpKind = MinidumpKind::Normal);
/// processId -1 (no process chosen) does nothing; ids from 2^31 up come as negative values.
void DebugAttach(const std::string& exePath, const std::string& errorDir, int32_t processId,
                 const TDebugCallbacks& callbacks, const TNotifyEvent& onTerminate,
                 bool showStackOnBreak, MinidumpKind dumpKind = MinidumpKind::Normal);
/// Asks the session to end; returns its process handle (0 for an attached session, for
/// no session, or when the session was already asked to end). With endDebuggee, a session
/// that started its program terminates it as it leaves its loop: the session's own worker
/// does it, never while it is still reading the program (a process terminated under a
/// reader of its memory can leave that reader waiting for ever under Wine).
Handle DebugStop(bool endDebuggee = false);
void DebugSuspend();
void DebugResume();
/// Ends the current attached session and reports whether its worker detached from
/// processId (see TDebugThread::DetachFromWorker). False when there is no attached session
/// or the platform cannot detach.
bool DebugActiveProcessStopProc(uint32_t processId);

}  // namespace ostrel
