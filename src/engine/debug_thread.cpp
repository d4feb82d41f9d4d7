#include "engine/debug_thread.h"

#include <cstring>
#include <exception>
#include <new>

#include "common/format.h"
#include "engine/exception_capture.h"
#include "engine/exception_text.h"
#include "engine/readers.h"
#include "engine/stack_capture.h"
#include "engine/stack_listing.h"
#include "engine/stack_scan.h"

namespace ostrel {

std::unique_ptr<TDbgEventList> DebugEvents;
std::unique_ptr<TUsedThreads> UsedThreads;
std::unique_ptr<TUsedProcesses> UsedProcesses;
std::unique_ptr<TDebugThread> CurrentDebugThread;
std::atomic<int32_t> StackDepth{32};
bool DebugActiveProcessStopAvailable = false;

namespace {

DebugPlatform* gPlatform = nullptr;
MainThreadSync* gSync = nullptr;
DirectSync gDirectSync;
WorkerLauncher gLauncher;
// Sessions let go of inside one of their own notifications: their workers wait for this
// very thread, so they are muted, asked to end, and released by a later call.
std::vector<std::unique_ptr<TDebugThread>> gRetired;

// Ends and releases a session that is no longer current.
void release(std::unique_ptr<TDebugThread> session) {
  if (!session) return;
  session->Mute();
  session->Terminate();
  if (session->InsideOwnNotification())
    gRetired.push_back(std::move(session));
  else
    session.reset();  // the destructor waits for the worker, serving the hand-off
}

void releaseRetired() {
  // Taken out of the list first: waiting serves the hand-off, whose handlers may start
  // a session and so come back here.
  std::vector<std::unique_ptr<TDebugThread>> ending;
  for (auto it = gRetired.begin(); it != gRetired.end();) {
    if ((*it)->InsideOwnNotification()) {
      ++it;
    } else {
      ending.push_back(std::move(*it));
      it = gRetired.erase(it);
    }
  }
  ending.clear();
}

TDebugThread& newSession() {
  release(std::move(CurrentDebugThread));
  releaseRetired();
  CurrentDebugThread = std::make_unique<TDebugThread>(*gPlatform, gSync ? *gSync : gDirectSync);
  return *CurrentDebugThread;
}

// Marks the calling thread as running a notification of a session for its duration.
class HandlerScope {
 public:
  explicit HandlerScope(std::atomic<std::thread::id>& slot)
      : slot_(slot), previous_(slot.exchange(std::this_thread::get_id())) {}
  ~HandlerScope() { slot_.store(previous_); }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;

 private:
  std::atomic<std::thread::id>& slot_;
  std::thread::id previous_;
};

// Breakpoints are continued as handled; every other exception goes back to the debuggee's
// own handlers (and on a last chance to the system); other events simply go on.
uint32_t continueStatus(const DebugEventRecord& event) {
  if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT_CODE &&
      event.u.Exception.ExceptionRecord.ExceptionCode != kExceptionBreakpoint)
    return kDbgExceptionNotHandled;
  return kDbgContinue;
}

// Keeps a session's stack-reporting flag set while a scan is published, however it ends.
class ReportingScope {
 public:
  explicit ReportingScope(std::atomic<bool>& flag) : flag_(flag) { flag_.store(true); }
  ~ReportingScope() { flag_.store(false); }
  ReportingScope(const ReportingScope&) = delete;
  ReportingScope& operator=(const ReportingScope&) = delete;

 private:
  std::atomic<bool>& flag_;
};

// The text of an error that ended a session.
std::string errorText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    return "Debugger error! Out of memory";
  } catch (const std::exception& e) {
    return std::string("Debugger error! ") + e.what();
  } catch (...) {
    return "Debugger error! unknown error";
  }
}

}  // namespace

void setEnginePlatform(DebugPlatform* platform, MainThreadSync* sync) {
  gPlatform = platform;
  gSync = sync;
}

DebugPlatform* enginePlatform() { return gPlatform; }

void setWorkerLauncher(WorkerLauncher launcher) { gLauncher = std::move(launcher); }

void engineStartup() {
  DebugEvents = std::make_unique<TDbgEventList>();
  UsedThreads = std::make_unique<TUsedThreads>();
  UsedProcesses = std::make_unique<TUsedProcesses>();
  LoadDebugActiveProcessStop();
}

void engineShutdown(const std::function<void(const std::string&)>& warningBox) {
  release(std::move(CurrentDebugThread));
  releaseRetired();
  if (!gRetired.empty()) {
    // Called from inside a notification: those workers wait for this thread and touch the
    // lists once it returns, so sessions and lists are left to the end of the process.
    for (auto& session : gRetired) (void)session.release();
    gRetired.clear();
    return;
  }
  if (UsedThreads && UsedThreads->count() > 0 && warningBox)
    warningBox("Unbalanced call between CreateThread / ExitThread!");
  UsedThreads.reset();
  if (UsedProcesses && UsedProcesses->count() > 0 && warningBox)
    warningBox("Unbalanced call between CreateProcess / ExitProcess!");
  UsedProcesses.reset();
  DebugEvents.reset();
}

bool LoadDebugActiveProcessStop() {
  DebugActiveProcessStopAvailable = gPlatform && gPlatform->hasDebugActiveProcessStop();
  return DebugActiveProcessStopAvailable;
}

void DebugRun(const std::string& exePath, const std::string& parameters,
              const std::string& errorDir, const TDebugCallbacks& callbacks,
              const TNotifyEvent& onTerminate, bool showStackOnBreak, MinidumpKind dumpKind) {
  TDebugThread& s = newSession();
  s.ThreadCount = 0;
  s.Attached = false;
  s.ExePath = exePath;
  s.Parameters = parameters;
  s.ErrorDir = errorDir;
  s.EventNumber = 0;
  s.ShowStackOnBreak = showStackOnBreak;
  s.DumpKind = dumpKind;
  s.Callbacks = callbacks;
  s.OnTerminate = onTerminate;
  s.Start();
}

void DebugAttach(const std::string& exePath, const std::string& errorDir, int32_t processId,
                 const TDebugCallbacks& callbacks, const TNotifyEvent& onTerminate,
                 bool showStackOnBreak, MinidumpKind dumpKind) {
  // -1 is "no process chosen"; any other value is a process id, those from 2^31 up
  // arriving as negative numbers.
  if (processId == -1) return;
  TDebugThread& s = newSession();
  s.ThreadCount = 0;
  s.Attached = true;
  s.ErrorDir = errorDir;
  s.TargetProcessId = static_cast<uint32_t>(processId);
  s.ExePath = exePath;
  s.EventNumber = 0;
  s.ShowStackOnBreak = showStackOnBreak;
  s.DumpKind = dumpKind;
  s.Callbacks = callbacks;
  s.OnTerminate = onTerminate;
  s.Start();
}

Handle DebugStop(bool endDebuggee) {
  if (!CurrentDebugThread || CurrentDebugThread->Terminated()) return 0;
  Handle result = CurrentDebugThread->processHandle();
  CurrentDebugThread->Terminate(endDebuggee);
  return result;
}

void DebugSuspend() {
  if (CurrentDebugThread) CurrentDebugThread->Suspend();
}

void DebugResume() {
  if (CurrentDebugThread && CurrentDebugThread->Suspended()) CurrentDebugThread->Resume();
}

bool DebugActiveProcessStopProc(uint32_t processId) {
  if (!DebugActiveProcessStopAvailable || !CurrentDebugThread || !CurrentDebugThread->Attached)
    return false;
  return CurrentDebugThread->DetachFromWorker(processId);
}

// --- TDebugThread ----------------------------------------------------------------

TDebugThread::TDebugThread(DebugPlatform& platform, MainThreadSync& sync)
    : platform_(platform), sync_(sync) {
  std::memset(&DebugEvent, 0, sizeof DebugEvent);
}

TDebugThread::~TDebugThread() {
  Mute();
  Terminate();
  if (thread_.joinable()) {
    if (waitServing([this] { return finished_.load(); }))
      thread_.join();
    else
      thread_.detach();  // misuse: destroyed inside its own notification
  }
  closeOwnedHandles();
}

void TDebugThread::Start() {
  if (started_.load() || finished_.load()) return;
  try {
    std::function<void()> body = [this] { run(); };
    thread_ = gLauncher ? gLauncher(std::move(body)) : std::thread(std::move(body));
  } catch (...) {
    // No worker: the session ends here, as a failed one ends, with nothing to wait for.
    ErrorText = errorText(std::current_exception()) + " (the session's thread did not start)";
    finished_.store(true);
    if (OnTerminate && !muted_.load()) {
      HandlerScope scope(handlerThread_);
      try {
        OnTerminate(*this);
      } catch (...) {
        // As at the worker's end: the session has ended, a failing handler stops nothing.
      }
    }
    return;
  }
  // Set once the worker exists: a detach or a wait before then has nothing to wait for.
  started_.store(true);
}

void TDebugThread::Terminate(bool endDebuggee) {
  if (endDebuggee) endDebuggee_.store(true);
  terminated_.store(true);
  std::lock_guard lock(gateMutex_);
  gateChanged_.notify_all();
}

void TDebugThread::Suspend() {
  std::lock_guard lock(gateMutex_);
  suspended_ = true;
}

void TDebugThread::Resume() {
  std::lock_guard lock(gateMutex_);
  suspended_ = false;
  gateChanged_.notify_all();
}

bool TDebugThread::Suspended() const {
  std::lock_guard lock(gateMutex_);
  return suspended_;
}

void TDebugThread::Mute() { muted_.store(true); }

bool TDebugThread::InsideOwnNotification() const {
  return handlerThread_.load() == std::this_thread::get_id();
}

bool TDebugThread::waitServing(const std::function<bool()>& done) {
  if (done()) return true;
  if (InsideOwnNotification()) return false;
  sync_.serveUntil(done);
  return true;
}

bool TDebugThread::WaitFor() {
  if (!thread_.joinable()) return true;
  if (!waitServing([this] { return finished_.load(); })) return false;
  thread_.join();
  return true;
}

bool TDebugThread::DetachFromWorker(uint32_t processId) {
  if (!started_.load() || !Attached || processId != TargetProcessId) return false;
  Terminate();
  if (!waitServing([this] { return finished_.load(); })) return false;
  return detach_.load() == DetachOutcome::Detached;
}

std::string TDebugThread::exePath() const {
  std::lock_guard lock(resultsMutex_);
  return ExePath;
}

TLastChanceResults TDebugThread::lastChanceResults() const {
  std::lock_guard lock(resultsMutex_);
  return {ErrorLogName, StackModules, RawStack, DumpName};
}

bool TDebugThread::passGate() {
  std::unique_lock lock(gateMutex_);
  if (!suspended_) return true;
  gateChanged_.wait(lock, [&] { return !suspended_ || terminated_.load(); });
  return !suspended_;
}

void TDebugThread::sync(const std::function<void()>& fn) {
  if (muted_.load()) return;
  sync_.invoke([&] {
    // Looked at again on the main thread: once Mute() has returned there, no handler of
    // this session runs any more.
    if (muted_.load()) return;
    HandlerScope scope(handlerThread_);
    fn();
  });
}

void TDebugThread::DoTerminate() {
  if (OnTerminate) sync([this] { OnTerminate(*this); });
}

void TDebugThread::detachOnLeaving() {
  DetachOutcome outcome = DetachOutcome::NotAttached;
  if (Attached && attachedToTarget_ && !mainExited_)
    outcome = platform_.debugActiveProcessStop(MainProcessId.load()) ? DetachOutcome::Detached
                                                                     : DetachOutcome::Failed;
  detach_.store(outcome);
}

void TDebugThread::run() {
  // The worker's entry: no exception may leave it (with DW2 unwinding it cannot pass the
  // system's frames and would end the program). Each step's error becomes the session's
  // error, the first one told, and the session still ends in order.
  auto step = [this](const auto& fn) {
    try {
      fn();
    } catch (...) {
      try {
        if (ErrorText.empty()) ErrorText = errorText(std::current_exception());
      } catch (...) {
      }
    }
  };
  step([this] { Execute(); });
  // Whatever ended the loop (a stop, a detach request, an error), an attached debuggee that
  // still runs is let go: only this thread, its debugger, can do that.
  step([this] { detachOnLeaving(); });
  step([this] { releaseEventHandles(); });
  try {
    DoTerminate();
  } catch (...) {
    // The session has ended already; a failing handler has nothing left to stop.
  }
  finished_.store(true);
  try {
    sync_.wake();
  } catch (...) {
  }
}

void TDebugThread::Execute() {
  try {
    startUp();
    while (turn()) {
    }
  } catch (...) {
    ErrorText = errorText(std::current_exception());
  }
}

void TDebugThread::startUp() {
  CodeBase.store(0);
  if (Attached) {
    attachReadHandle_ = platform_.openProcess(TargetProcessId);
    ownedProcess_ = OwnedHandle(platform_, attachReadHandle_);
    // A wait with nothing attached may only time out, again and again: a failed attach
    // ends the session here, with the same error the first wait would have given.
    if (!platform_.debugActiveProcess(TargetProcessId))
      throw EngineError(platform_.lastErrorText());
    attachedToTarget_ = true;
    // The user attached to a running program: nothing Ostrel does (a crash included) may
    // take it down with it.
    platform_.setKillOnExit(false);
    MainProcessId = TargetProcessId;
  } else {
    std::string commandLine = ExePath + " " + Parameters;
    std::string error;
    auto started = platform_.createProcess(commandLine, &error);
    if (!started) throw EngineError(error);
    ownedProcess_ = OwnedHandle(platform_, started->hProcess);
    ownedThread_ = OwnedHandle(platform_, started->hThread);
    MainProcessId = started->processId;
    TargetProcessId = started->processId;
    ProcessHandle = started->hProcess;
    mainProcess_ = started->hProcess;
    mainThread_ = started->hThread;
    mainThreadId_ = started->threadId;
    attachReadHandle_ = started->hProcess;
  }
  platform_.setDebugErrorLevel(3);
  ThreadCount = 0;
  ProcessCount = 0;
  stackOverflowSeen_ = false;
  StackOverflow = false;
  LastChance = false;
  snapshotFailed_ = false;
  warningShown_ = false;
  Severity = 0;
  MainImageAddress = 0;
  {
    std::lock_guard lock(resultsMutex_);
    ErrorLogName.clear();
    StackModules.clear();
  }
  ExceptionCount = 0;
  ThreadCount = 1;
  if (Callbacks.OnThreadCount) sync([this] { Callbacks.OnThreadCount(ThreadCount); });
}

Handle TDebugThread::readHandleFor(uint32_t processId) const {
  // Parent and child share addresses: a read through another process's handle would
  // return that process's memory, so every read goes through the event's own process.
  if (processId != MainProcessId) {
    auto it = processes_.find(processId);
    if (it != processes_.end() && it->second.process) return it->second.process.get();
  }
  return attachReadHandle_;
}

void TDebugThread::leaveLoop() {
  // Here no read of the program is under way: ending it now cannot cut one short.
  if (endDebuggee_.load() && !Attached && !mainExited_ && mainProcess_ != 0)
    platform_.terminateProcess(mainProcess_, 0);
  --ThreadCount;
  if (Callbacks.OnThreadCount) sync([this] { Callbacks.OnThreadCount(ThreadCount); });
}

bool TDebugThread::turn() {
  std::memset(&DebugEvent, 0, sizeof DebugEvent);
  for (;;) {
    WaitResult waited = platform_.waitForDebugEvent(DebugEvent, kIdleWaitMs);
    if (waited == WaitResult::Event) {
      takeDeliveredHandles(DebugEvent);
      break;
    }
    if (waited == WaitResult::Failed) throw EngineError(platform_.lastErrorText());
    // No event: a stopped session ends here instead of waiting for an event that may
    // never come (the debuggee has exited, or was detached).
    if (terminated_.load()) {
      leaveLoop();
      return false;
    }
  }
  if (!passGate()) {
    // Stopped while suspended: the event held at the gate is never delivered.
    dropHeldEvent();
    leaveLoop();
    return false;
  }

  WarningText.clear();
  Severity = 0;
  CurrentDll = nullptr;
  Details.clear();
  Info.clear();
  ++EventNumber;
  int32_t depth = StackDepth.load();
  CallStack = TEventCallStack(depth > 0 ? static_cast<uint32_t>(depth) : 0);

  if (EventNumber == 7) takeStartSnapshot();

  std::unique_ptr<TDllInfo> dll;
  handleEvent(dll);

  auto event = std::make_unique<TDbgEvent>(EventNumber, DebugEvent, std::move(dll), Details, Info,
                                           std::move(CallStack));
  TDllInfo* recordedDll = event->DllInfo.get();
  CurrentDll = recordedDll;
  DebugEvents->append(std::move(event));
  CallStack = TEventCallStack(depth > 0 ? static_cast<uint32_t>(depth) : 0);
  if (Callbacks.OnDebugEvent)
    sync([&] { Callbacks.OnDebugEvent(EventNumber, DebugEvent, recordedDll, Details, Severity); });

  if (!platform_.continueDebugEvent(DebugEvent.dwProcessId, DebugEvent.dwThreadId,
                                    continueStatus(DebugEvent)))
    throw EngineError(platform_.lastErrorText());
  releaseEnded(DebugEvent);

  if (terminated_.load()) {
    leaveLoop();
    return false;
  }
  return true;
}

void TDebugThread::dropHeldEvent() {
  // Continued as it would have been, so that the debuggee is not left stopped; a failure
  // changes nothing, the loop ends either way.
  if (platform_.continueDebugEvent(DebugEvent.dwProcessId, DebugEvent.dwThreadId,
                                   continueStatus(DebugEvent)))
    releaseEnded(DebugEvent);
}

void TDebugThread::takeStartSnapshot() {
  std::memset(&WalkContext, 0, sizeof WalkContext);
  std::memset(&StartStackInfo, 0, sizeof StartStackInfo);
  if (!readThreadStackInfo(platform_, mainProcess_, mainThread_, WalkContext, StartStackInfo))
    return;
  uint32_t frame = StartStackInfo.ExceptionList, low = StartStackInfo.StackLimit,
           high = StartStackInfo.StackBase, esp = WalkContext.Esp;
  if (Callbacks.OnStackInfo) sync([&] { Callbacks.OnStackInfo(frame, low, high, esp); });
  Details = "ExcFrame: " + hexP(frame) + " StackBase: " + hexP(low) + " StackTop: " + hexP(high) +
            " ESP: " + hexP(esp);
}

void TDebugThread::handleEvent(std::unique_ptr<TDllInfo>& dll) {
  const DebugEventRecord& e = DebugEvent;
  switch (e.dwDebugEventCode) {
    case EXCEPTION_DEBUG_EVENT_CODE:
      handleException();
      break;
    case CREATE_THREAD_DEBUG_EVENT_CODE:
      ++ThreadCount;
      if (Callbacks.OnThreadCount) sync([this] { Callbacks.OnThreadCount(ThreadCount); });
      UsedThreads->append(
          std::make_unique<TThreadProp>("", e.u.CreateThread.hThread, e.dwThreadId));
      Details = "Local base " + hexP(e.u.CreateThread.lpThreadLocalBase);
      break;
    case CREATE_PROCESS_DEBUG_EVENT_CODE:
      handleCreateProcess();
      break;
    case EXIT_THREAD_DEBUG_EVENT_CODE:
      --ThreadCount;
      if (Callbacks.OnThreadCount) sync([this] { Callbacks.OnThreadCount(ThreadCount); });
      Details = "Exit code " + hexP(e.u.ExitThread.dwExitCode);
      Info = hexP(e.dwThreadId);
      UsedThreads->RemoveThread(e.dwThreadId);
      break;
    case EXIT_PROCESS_DEBUG_EVENT_CODE: {
      Details = "Exit code " + hexP(e.u.ExitProcess.dwExitCode);
      if (e.dwProcessId == MainProcessId) {
        mainExited_ = true;
        DoTerminate();
        Info = ExePath;
      }
      noteModuleEvent(e, "");
      UsedProcesses->RemoveProcess(e.dwProcessId);
      --ProcessCount;
      if (Callbacks.OnProcessCount) sync([this] { Callbacks.OnProcessCount(ProcessCount); });
      break;
    }
    case LOAD_DLL_DEBUG_EVENT_CODE: {
      const auto& d = e.u.LoadDll;
      Handle read = readHandleFor(e.dwProcessId);
      std::string name = readImageName(platform_, read, d.lpImageName, d.fUnicode);
      if (name.empty()) name = readExportName(platform_, read, d.hFile, d.lpBaseOfDll);
      DllFileDetails facts = readDllFileDetails(platform_, name);
      Details = hexP(d.lpBaseOfDll);
      dll = std::make_unique<TDllInfo>(name, d.hFile, d.lpBaseOfDll, facts.size, facts.date,
                                       facts.version);
      noteModuleEvent(e, name);
      break;
    }
    case UNLOAD_DLL_DEBUG_EVENT_CODE: {
      Address base = e.u.UnloadDll.lpBaseOfDll;
      Details = hexP(base);
      TDllInfo* loaded = DebugEvents->FindDllByBase(base);
      dll = std::make_unique<TDllInfo>(loaded ? loaded->Name : std::string("Unknown"), 0, base, "",
                                       "", "");
      noteModuleEvent(e, "");
      break;
    }
    case OUTPUT_DEBUG_STRING_EVENT_CODE:
      Details = readDebugString(platform_, readHandleFor(e.dwProcessId), e);
      break;
    case RIP_EVENT_CODE:
      Details = hexP(e.u.RipInfo.dwType) + ":" + hexP(e.u.RipInfo.dwError);
      break;
    default:
      Details = "Unknown " + hexP(e.dwDebugEventCode);
      break;
  }
  CurrentDll = dll.get();
}

void TDebugThread::handleCreateProcess() {
  const DebugEventRecord& e = DebugEvent;
  const auto& c = e.u.CreateProcessInfo;
  bool child = e.dwProcessId != MainProcessId;

  // The image-name pointer may be null and the module list not ready yet at this
  // event (so it is on some systems); the image file handle still names the file.
  auto modulePath = [&] {
    std::string path = moduleNameFromAddress(platform_, c.hProcess, c.lpBaseOfImage);
    if (path == "Unknown") {
      std::string fromFile = platform_.imageFileName(c.hFile);
      if (!fromFile.empty()) path = fromFile;
    }
    return path;
  };
  std::string processName;
  if (!Attached) {
    Handle read = child ? c.hProcess : mainProcess_;
    processName = readImageName(platform_, read, c.lpImageName, c.fUnicode);
    MainImageAddress = c.lpStartAddress;
    if (processName.empty()) processName = extractFileName(modulePath());
  } else {
    processName = readImageName(platform_, c.hProcess, c.lpImageName, c.fUnicode);
    MainImageAddress = c.lpBaseOfImage;
    if (ExePath.empty()) {
      std::string path = modulePath();
      std::lock_guard lock(resultsMutex_);
      ExePath = std::move(path);
    }
  }
  Info = processName;
  if (child) {
    Info = readImageName(platform_, c.hProcess, c.lpImageName, c.fUnicode);
    if (Info.empty()) Info = platform_.imageFileName(c.hFile);
  } else {
    if (Attached) {
      mainProcess_ = c.hProcess;
      mainThread_ = c.hThread;
      mainThreadId_ = e.dwThreadId;
    }
    mainImagePath_ = modulePath();
    if (mainImagePath_ == "Unknown") mainImagePath_.clear();
    CodeBase = getCodeBase(platform_, mainProcess_, MainImageAddress);
    MainImageBase = c.lpBaseOfImage;
    Info = ExePath;
  }
  noteModuleEvent(e, child ? Info : mainImagePath_);
  UsedProcesses->append(std::make_unique<TProcessProp>(e.dwProcessId, Info, c.hProcess));
  ++ProcessCount;
  if (Callbacks.OnProcessCount) sync([this] { Callbacks.OnProcessCount(ProcessCount); });
}

void TDebugThread::handleException() {
  const DebugEventRecord& e = DebugEvent;
  const ExceptionRecord32& r = e.u.Exception.ExceptionRecord;
  // Texts about a child's exception come from the child's own memory.
  Handle process = e.dwProcessId == MainProcessId ? mainProcess_ : readHandleFor(e.dwProcessId);

  ++ExceptionCount;
  if (Callbacks.OnExceptionCount) sync([this] { Callbacks.OnExceptionCount(ExceptionCount); });
  Info = exceptionDescription(platform_, process, r);
  if (!stackOverflowSeen_ && r.ExceptionCode == kExceptionStackOverflow) {
    stackOverflowSeen_ = true;
    Severity = 2;
    StackOverflow = true;
    if (Callbacks.OnStackOverflow) sync([this] { Callbacks.OnStackOverflow(true); });
  }
  // The thread examined is the one that raised the exception (its handle from its
  // creation event), or the initial thread when it is not known.
  Handle thread = faultingThread(e.dwThreadId);
  if (!StackOverflow) {
    if (!readThreadStackInfo(platform_, process, thread, ExceptionContext, ExceptionStackInfo)) {
      std::memset(&ExceptionContext, 0, sizeof ExceptionContext);
      std::memset(&ExceptionStackInfo, 0, sizeof ExceptionStackInfo);
      snapshotFailed_ = true;
    }
  }
  Details = "Addr:" + hexP(r.ExceptionAddress) + " Err:" + hexP(r.ExceptionCode);
  std::string modulePath = moduleNameFromAddress(platform_, process, r.ExceptionAddress);
  exceptionModule_ = extractFileName(modulePath);
  if (exceptionModule_ == extractFileName(ExePath)) Severity = 1;

  auto moduleName = [&](Address a) { return moduleNameFromAddress(platform_, process, a); };
  if (e.u.Exception.dwFirstChance != 0) {
    if (r.ExceptionCode != kExceptionBreakpoint || ShowStackOnBreak) {
      TCallStack stack;
      const int32_t depth = StackDepth.load();
      int32_t count = scanStack(stack, depth, process, thread);
      reportStackEntries(stack, 1, count, true, moduleName, process, r.ExceptionAddress, depth);
    }
  } else {
    Severity = 2;
    LastChance = true;
    if (Callbacks.OnLastChance) sync([this] { Callbacks.OnLastChance(true); });
    TCallStack stack;
    int32_t count = scanStack(stack, -1, process, thread);
    if (count > 0) {
      std::string modules = stackModulesText(stack, count, moduleName);
      std::lock_guard lock(resultsMutex_);
      StackModules = std::move(modules);
    }
    reportStackEntries(stack, 0, 32, false, moduleName, process, r.ExceptionAddress, 32);

    LastChanceCapture capture;
    capture.event = &e;
    capture.stack = &stack;
    capture.count = count;
    capture.context = &WalkContext;
    capture.offsetBase = getCodeBase(platform_, process, MainImageAddress);
    capture.exePath = ExePath;
    capture.imagePath = mainImagePath_;
    capture.errorDir = ErrorDir;
    std::string logName = storeLastChancePackage(capture);
    {
      std::lock_guard lock(resultsMutex_);
      RawStack = std::move(stack);
      ErrorLogName = logName;
      DumpName.clear();
    }
    // The log is stored first: a dump that fails (or hangs in the system) costs nothing
    // of it. Without a stored log there is no name to pair the dump with.
    std::string dumpFailure;
    if (!logName.empty() && DumpKind != MinidumpKind::None) {
      std::string dumpName = writeLastChanceDump(logName, process, thread, &dumpFailure);
      std::lock_guard lock(resultsMutex_);
      DumpName = std::move(dumpName);
    }
    WarningText = logName.empty()
                      ? std::string("Error by storing exception package")
                      : "Last chance exception occurred!\r\rException log stored to " + logName;
    if (!warningShown_) {
      warningShown_ = true;
      if (Callbacks.OnWarning) sync([this] { Callbacks.OnWarning(WarningText); });
    }
    // A warning of its own, at every failure, so that the log's text stays as it is.
    if (!dumpFailure.empty() && Callbacks.OnWarning)
      sync([&] { Callbacks.OnWarning(dumpFailure); });
  }
  Info = Info + " in " + exceptionModule_;
}

std::string TDebugThread::writeLastChanceDump(const std::string& logName, Handle process,
                                              Handle thread, std::string* failure) {
  MinidumpRequest request;
  request.process = process;
  request.processId = DebugEvent.dwProcessId;
  request.threadId = DebugEvent.dwThreadId;
  // An exhausted stack is left alone here as in the scan: the registers of the exception
  // snapshot stand for it.
  request.thread = StackOverflow ? 0 : thread;
  request.exception = &DebugEvent.u.Exception.ExceptionRecord;
  request.context = walkSnapshotOk_ ? WalkContext : ExceptionContext;
  request.path = minidumpNameForLog(logName);
  request.kind = DumpKind;
  std::string error;
  if (platform_.writeMinidump(request, &error)) return request.path;
  *failure = "Minidump could not be written to " + request.path +
             (error.empty() ? std::string() : ": " + error);
  return {};
}

Handle TDebugThread::faultingThread(uint32_t threadId) const {
  auto it = threads_.find(threadId);
  return it != threads_.end() && it->second.handle ? it->second.handle.get() : mainThread_;
}

int32_t TDebugThread::scanStack(TCallStack& stack, int32_t depth, Handle process, Handle thread) {
  // The walk snapshot is taken just before the scan; after a stack overflow the exhausted
  // thread is left alone and the bounds of the last snapshot before it are used.
  bool walkOk = false;
  if (!StackOverflow)
    walkOk = readThreadStackInfo(platform_, process, thread, WalkContext, WalkStackInfo);
  walkSnapshotOk_ = walkOk;
  ScanRange range = chooseScanRange(StackOverflow, snapshotFailed_, walkOk, StartStackInfo,
                                    ExceptionStackInfo, WalkStackInfo, WalkContext.Esp);
  int32_t count =
      storeRawStack(platform_, stack, range.start, depth, process, range.upper, range.lower);
  return count < 0 ? 0 : count;
}

void TDebugThread::reportStackEntries(const TCallStack& stack, int32_t first, int32_t end,
                                      bool quiet, const ModuleNameFunction& moduleName,
                                      Handle process, Address exceptionAddress,
                                      int32_t walkBound) {
  ReportingScope reporting(stackReporting_);
  auto entries = stackEntriesToPublish(stack, first, end, StackDepth.load(), moduleName, CallStack);
  if (walkBound <= 0) return;

  // The walk reads the registers of the snapshot the scan started from; a thread that could
  // not be asked (or has overflowed its stack) is listed from the raw scan alone.
  const uint32_t processId = DebugEvent.dwProcessId;
  std::shared_ptr<const LiveModuleList> modules = modulesOf(processId, process);
  LiveMemorySource memory(platform_, process,
                          walkSnapshotOk_ ? stackRangeOf(WalkStackInfo) : std::nullopt, modules);
  std::vector<StackEntry> walked;
  if (walkSnapshotOk_ && !StackOverflow) {
    StackWalker walker(memory);
    // The walk counts its scan hits too: with room for four times the raw list it reaches
    // past that list's last entry, so the raw entries that are frames get their label.
    walked = walker.walk({exceptionAddress, WalkContext.Esp, WalkContext.Ebp},
                           static_cast<uint32_t>(walkBound) * 4);
  }
  std::vector<RawStackItem> raw;
  raw.reserve(entries.size());
  for (const PublishedStackEntry& entry : entries) raw.push_back({entry.index, entry.address});
  // Entries name their module through the walk's module list; the raw scan's own module
  // name serves where that list has none (a module whose headers cannot be read).
  auto imageOf = [&](Address address) -> std::shared_ptr<const SymbolModule> {
    if (const LiveModule* module = memory.moduleOf(address)) return module->image;
    for (const PublishedStackEntry& entry : entries)
      if (entry.address == address && !entry.module.empty())
        return std::make_shared<const SymbolModule>(SymbolModule{entry.module, 0, 0});
    return nullptr;
  };
  std::vector<TListedStackEntry> listed =
      listStack(exceptionAddress, walked, raw, imageOf, 2 * static_cast<size_t>(walkBound));
  // Kept before it is published: a handler may read the entries it is handed (with their
  // modules) from CallStack while the worker waits for it.
  CallStack.setListed(std::move(listed));
  if (!quiet && Callbacks.OnCallStackEntry) {
    StackEntryNumbers numbers;
    for (const TListedStackEntry& entry : CallStack.listed()) {
      const int32_t index = numbers.next(entry);
      const std::string address = hexP(entry.Address);
      const std::string module = entry.moduleName();
      const std::string foundBy = foundByName(entry.foundBy);
      sync([&] { Callbacks.OnCallStackEntry(index, address, module, "", "", "", 0, foundBy); });
    }
  }
}

std::shared_ptr<const LiveModuleList> TDebugThread::modulesOf(uint32_t processId,
                                                               Handle process) {
  std::shared_ptr<const LiveModuleList>& list = moduleLists_[processId];
  if (!list) list = LiveMemorySource::readModules(platform_, process, loadedImages_[processId]);
  return list;
}

void TDebugThread::noteModuleEvent(const DebugEventRecord& e, const std::string& path) {
  const uint32_t processId = e.dwProcessId;
  moduleLists_.erase(processId);
  switch (e.dwDebugEventCode) {
    case CREATE_PROCESS_DEBUG_EVENT_CODE:
      loadedImages_[processId][e.u.CreateProcessInfo.lpBaseOfImage] = path;
      break;
    case LOAD_DLL_DEBUG_EVENT_CODE:
      loadedImages_[processId][e.u.LoadDll.lpBaseOfDll] = path;
      break;
    case UNLOAD_DLL_DEBUG_EVENT_CODE:
      loadedImages_[processId].erase(e.u.UnloadDll.lpBaseOfDll);
      break;
    case EXIT_PROCESS_DEBUG_EVENT_CODE:
      loadedImages_.erase(processId);
      break;
    default:
      break;
  }
}

void TDebugThread::closeOwnedHandles() {
  threads_.clear();
  processes_.clear();
  ownedThread_.reset();
  ownedProcess_.reset();
}

void TDebugThread::takeDeliveredHandles(const DebugEventRecord& e) {
  switch (e.dwDebugEventCode) {
    case CREATE_PROCESS_DEBUG_EVENT_CODE: {
      const auto& c = e.u.CreateProcessInfo;
      DebuggeeHandles& process = processes_[e.dwProcessId];
      process.process = OwnedHandle(platform_, c.hProcess);
      process.imageFile = OwnedHandle(platform_, c.hFile);
      if (c.hThread != 0)
        threads_[e.dwThreadId] = {e.dwProcessId, OwnedHandle(platform_, c.hThread)};
      break;
    }
    case CREATE_THREAD_DEBUG_EVENT_CODE:
      if (e.u.CreateThread.hThread != 0)
        threads_[e.dwThreadId] = {e.dwProcessId, OwnedHandle(platform_, e.u.CreateThread.hThread)};
      break;
    case LOAD_DLL_DEBUG_EVENT_CODE:
      // A base reused without an unload we saw: the older file handle is done with. Parent
      // and child may load DLLs at the same base; each keeps its own.
      if (e.u.LoadDll.hFile != 0)
        processes_[e.dwProcessId].dllFiles[e.u.LoadDll.lpBaseOfDll] =
            OwnedHandle(platform_, e.u.LoadDll.hFile);
      break;
    default:
      break;
  }
}

void TDebugThread::releaseEnded(const DebugEventRecord& e) {
  // The process and thread handles of an exit continued are closed by the system where it
  // does so, by the session otherwise.
  const bool systemCloses = platform_.systemClosesExitedHandles();
  auto letGo = [systemCloses](OwnedHandle& handle) {
    if (systemCloses)
      handle.release();
    else
      handle.reset();
  };
  switch (e.dwDebugEventCode) {
    case EXIT_THREAD_DEBUG_EVENT_CODE: {
      auto it = threads_.find(e.dwThreadId);
      if (it != threads_.end()) {
        letGo(it->second.handle);
        threads_.erase(it);
      }
      break;
    }
    case EXIT_PROCESS_DEBUG_EVENT_CODE: {
      for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->second.processId == e.dwProcessId) {
          letGo(it->second.handle);
          it = threads_.erase(it);
        } else {
          ++it;
        }
      }
      auto it = processes_.find(e.dwProcessId);
      if (it != processes_.end()) {
        letGo(it->second.process);
        processes_.erase(it);  // its image and DLL files are closed with it
      }
      break;
    }
    case UNLOAD_DLL_DEBUG_EVENT_CODE: {
      auto it = processes_.find(e.dwProcessId);
      if (it != processes_.end()) it->second.dllFiles.erase(e.u.UnloadDll.lpBaseOfDll);
      break;
    }
    default:
      break;
  }
}

void TDebugThread::releaseEventHandles() {
  // Where the system closes handles, a detach closes those of the process let go (Windows
  // does so even before it knows whether the detach works): a handle is rather left than
  // closed twice.
  const DetachOutcome detach = detach_.load();
  if ((detach == DetachOutcome::Detached || detach == DetachOutcome::Failed) &&
      platform_.systemClosesExitedHandles()) {
    const uint32_t detachedId = MainProcessId.load();
    for (auto& [id, thread] : threads_)
      if (thread.processId == detachedId) thread.handle.release();
    auto it = processes_.find(detachedId);
    if (it != processes_.end()) it->second.process.release();
  }
  threads_.clear();
  processes_.clear();
}

}  // namespace ostrel
