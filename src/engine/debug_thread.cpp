#include "engine/debug_thread.h"

#include <cstring>
#include <exception>

#include "common/format.h"
#include "engine/exception_capture.h"
#include "engine/exception_text.h"
#include "engine/readers.h"
#include "engine/stack_capture.h"
#include "engine/stack_scan.h"

namespace ostrel {

std::unique_ptr<TDbgEventList> DebugEvents;
std::unique_ptr<TUsedThreads> UsedThreads;
std::unique_ptr<TUsedProcesses> UsedProcesses;
std::unique_ptr<TDebugThread> CurrentDebugThread;
std::atomic<int32_t> StackDepth{32};
std::atomic<bool> StackReporting{false};
bool DebugActiveProcessStopAvailable = false;

namespace {

DebugPlatform* gPlatform = nullptr;
MainThreadSync* gSync = nullptr;
DirectSync gDirectSync;
// Sessions replaced while their worker still ran; released once it has ended.
std::vector<std::unique_ptr<TDebugThread>> gRetired;

void retireCurrent() {
  for (auto it = gRetired.begin(); it != gRetired.end();)
    it = (*it)->Finished() ? gRetired.erase(it) : it + 1;
  if (!CurrentDebugThread) return;
  if (CurrentDebugThread->Finished() || !CurrentDebugThread->Terminated()) {
    // A finished session goes now. One that still runs and was never stopped is asked
    // to end; it is kept until its worker has gone, since its notifications may still
    // be on their way to the main thread.
    if (!CurrentDebugThread->Finished()) CurrentDebugThread->Terminate();
  }
  if (CurrentDebugThread->Finished())
    CurrentDebugThread.reset();
  else
    gRetired.push_back(std::move(CurrentDebugThread));
}

TDebugThread& newSession() {
  retireCurrent();
  CurrentDebugThread = std::make_unique<TDebugThread>(*gPlatform, gSync ? *gSync : gDirectSync);
  return *CurrentDebugThread;
}

}  // namespace

void setEnginePlatform(DebugPlatform* platform, MainThreadSync* sync) {
  gPlatform = platform;
  gSync = sync;
}

DebugPlatform* enginePlatform() { return gPlatform; }

void engineStartup() {
  DebugEvents = std::make_unique<TDbgEventList>();
  UsedThreads = std::make_unique<TUsedThreads>();
  UsedProcesses = std::make_unique<TUsedProcesses>();
  LoadDebugActiveProcessStop();
}

void engineShutdown(const std::function<void(const std::string&)>& warningBox) {
  CurrentDebugThread.reset();
  gRetired.clear();
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
              const TNotifyEvent& onTerminate, bool showStackOnBreak) {
  TDebugThread& s = newSession();
  s.ThreadCount = 0;
  s.Attached = false;
  s.ExePath = exePath;
  s.Parameters = parameters;
  s.ErrorDir = errorDir;
  s.EventNumber = 0;
  s.ShowStackOnBreak = showStackOnBreak;
  s.Callbacks = callbacks;
  s.OnTerminate = onTerminate;
  s.Start();
}

void DebugAttach(const std::string& exePath, const std::string& errorDir, int32_t processId,
                 const TDebugCallbacks& callbacks, const TNotifyEvent& onTerminate,
                 bool showStackOnBreak) {
  if (processId < 0) return;
  TDebugThread& s = newSession();
  s.ThreadCount = 0;
  s.Attached = true;
  s.ErrorDir = errorDir;
  s.TargetProcessId = static_cast<uint32_t>(processId);
  s.ExePath = exePath;
  s.EventNumber = 0;
  s.ShowStackOnBreak = showStackOnBreak;
  s.Callbacks = callbacks;
  s.OnTerminate = onTerminate;
  s.Start();
}

Handle DebugStop() {
  if (!CurrentDebugThread || CurrentDebugThread->Terminated()) return 0;
  Handle result = CurrentDebugThread->ProcessHandle;
  CurrentDebugThread->Terminate();
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
  Terminate();
  WaitFor();
  closeOwnedHandles();
}

void TDebugThread::Start() {
  if (started_.exchange(true)) return;
  thread_ = std::thread([this] { run(); });
}

void TDebugThread::Terminate() {
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

void TDebugThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool TDebugThread::DetachFromWorker(uint32_t processId) {
  std::unique_lock lock(gateMutex_);
  if (!started_.load() || finished_.load()) return false;
  detachProcessId_ = processId;
  detachRequested_ = true;
  terminated_.store(true);
  gateChanged_.notify_all();
  gateChanged_.wait(lock, [&] { return detachDone_ || finished_.load(); });
  return detachDone_ && detachResult_;
}

void TDebugThread::passGate() {
  std::unique_lock lock(gateMutex_);
  gateChanged_.wait(lock, [&] { return !suspended_ || terminated_.load(); });
}

void TDebugThread::sync(const std::function<void()>& fn) { sync_.invoke(fn); }

void TDebugThread::DoTerminate() {
  if (OnTerminate) sync([this] { OnTerminate(*this); });
}

void TDebugThread::run() {
  Execute();
  // The worker is the debugger of its debuggees: a detach must come from here.
  {
    std::unique_lock lock(gateMutex_);
    if (detachRequested_ && !detachDone_) {
      lock.unlock();
      bool ok = platform_.debugActiveProcessStop(detachProcessId_);
      lock.lock();
      detachResult_ = ok;
      detachDone_ = true;
    }
  }
  try {
    DoTerminate();
  } catch (...) {
    // The session has ended already; a failing handler has nothing left to stop.
  }
  {
    std::lock_guard lock(gateMutex_);
    finished_.store(true);
    gateChanged_.notify_all();
  }
}

void TDebugThread::Execute() {
  try {
    startUp();
    while (turn()) {
    }
  } catch (const std::exception& e) {
    ErrorText = std::string("Debugger error! ") + e.what();
  } catch (...) {
    ErrorText = "Debugger error! unknown error";
  }
}

void TDebugThread::startUp() {
  CodeBase = 0;
  if (Attached) {
    attachReadHandle_ = platform_.openProcess(TargetProcessId);
    // A wait with nothing attached may only time out, again and again: a failed attach
    // ends the session here, with the same error the first wait would have given.
    if (!platform_.debugActiveProcess(TargetProcessId))
      throw EngineError(platform_.lastErrorText());
    MainProcessId = TargetProcessId;
  } else {
    std::string commandLine = ExePath + " " + Parameters;
    std::string error;
    auto started = platform_.createProcess(commandLine, &error);
    if (!started) throw EngineError(error);
    createdProcess_ = true;
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
  ErrorLogName.clear();
  StackModules.clear();
  ExceptionCount = 0;
  ThreadCount = 1;
  if (Callbacks.OnThreadCount) sync([this] { Callbacks.OnThreadCount(ThreadCount); });
}

Handle TDebugThread::readHandleFor(uint32_t processId) const {
  // Parent and child share addresses: a read through another process's handle would
  // return that process's memory, so every read goes through the event's own process.
  if (processId != MainProcessId) {
    auto it = processHandles_.find(processId);
    if (it != processHandles_.end()) return it->second;
  }
  return attachReadHandle_;
}

void TDebugThread::leaveLoop() {
  --ThreadCount;
  if (Callbacks.OnThreadCount) sync([this] { Callbacks.OnThreadCount(ThreadCount); });
}

bool TDebugThread::turn() {
  std::memset(&DebugEvent, 0, sizeof DebugEvent);
  for (;;) {
    WaitResult waited = platform_.waitForDebugEvent(DebugEvent, kIdleWaitMs);
    if (waited == WaitResult::Event) break;
    if (waited == WaitResult::Failed) throw EngineError(platform_.lastErrorText());
    // No event: a stopped session ends here instead of waiting for an event that may
    // never come (the debuggee has exited, or was detached).
    if (terminated_.load()) {
      leaveLoop();
      return false;
    }
  }
  passGate();

  StackReporting.store(false);
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

  uint32_t status = kDbgContinue;
  if (DebugEvent.dwDebugEventCode == EXCEPTION_DEBUG_EVENT_CODE &&
      DebugEvent.u.Exception.ExceptionRecord.ExceptionCode != kExceptionBreakpoint)
    status = kDbgExceptionNotHandled;
  if (!platform_.continueDebugEvent(DebugEvent.dwProcessId, DebugEvent.dwThreadId, status))
    throw EngineError(platform_.lastErrorText());

  if (terminated_.load()) {
    leaveLoop();
    return false;
  }
  return true;
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
      threadHandles_[e.dwThreadId] = {e.dwProcessId, e.u.CreateThread.hThread};
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
      threadHandles_.erase(e.dwThreadId);
      break;
    case EXIT_PROCESS_DEBUG_EVENT_CODE: {
      Details = "Exit code " + hexP(e.u.ExitProcess.dwExitCode);
      if (e.dwProcessId == MainProcessId) {
        DoTerminate();
        Info = ExePath;
      }
      UsedProcesses->RemoveProcess(e.dwProcessId);
      // The system closes the handles of the process's threads with this event.
      for (auto it = threadHandles_.begin(); it != threadHandles_.end();)
        it = it->second.processId == e.dwProcessId ? threadHandles_.erase(it) : std::next(it);
      --ProcessCount;
      if (Callbacks.OnProcessCount) sync([this] { Callbacks.OnProcessCount(ProcessCount); });
      auto file = imageFiles_.find(e.dwProcessId);
      if (file != imageFiles_.end()) {
        platform_.closeHandle(file->second);
        imageFiles_.erase(file);
      }
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
      if (d.hFile != 0) {
        // A base reused without an unload we saw: the older file handle is done with.
        auto old = dllFiles_.find(d.lpBaseOfDll);
        if (old != dllFiles_.end()) platform_.closeHandle(old->second);
        dllFiles_[d.lpBaseOfDll] = d.hFile;
      }
      break;
    }
    case UNLOAD_DLL_DEBUG_EVENT_CODE: {
      Address base = e.u.UnloadDll.lpBaseOfDll;
      Details = hexP(base);
      TDllInfo* loaded = DebugEvents->FindDllByBase(base);
      dll = std::make_unique<TDllInfo>(loaded ? loaded->Name : std::string("Unknown"), 0, base, "",
                                       "", "");
      auto file = dllFiles_.find(base);
      if (file != dllFiles_.end()) {
        platform_.closeHandle(file->second);
        dllFiles_.erase(file);
      }
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
  if (c.hProcess != 0) processHandles_[e.dwProcessId] = c.hProcess;
  if (c.hThread != 0) threadHandles_[e.dwThreadId] = {e.dwProcessId, c.hThread};
  if (c.hFile != 0) {
    auto old = imageFiles_.find(e.dwProcessId);
    if (old != imageFiles_.end()) platform_.closeHandle(old->second);
    imageFiles_[e.dwProcessId] = c.hFile;
  }

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
    if (ExePath.empty()) ExePath = modulePath();
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
    Info = ExePath;
  }
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
      int32_t count = scanStack(stack, StackDepth.load(), process, thread);
      reportStackEntries(stack, 1, count, true, moduleName);
    }
  } else {
    Severity = 2;
    LastChance = true;
    if (Callbacks.OnLastChance) sync([this] { Callbacks.OnLastChance(true); });
    TCallStack stack;
    int32_t count = scanStack(stack, -1, process, thread);
    if (count > 0) StackModules = stackModulesText(stack, count, moduleName);
    reportStackEntries(stack, 0, 32, false, moduleName);
    RawStack = stack;

    LastChanceCapture capture;
    capture.event = &e;
    capture.stack = &RawStack;
    capture.count = count;
    capture.context = &WalkContext;
    capture.offsetBase = getCodeBase(platform_, process, MainImageAddress);
    capture.exePath = ExePath;
    capture.imagePath = mainImagePath_;
    capture.errorDir = ErrorDir;
    ErrorLogName = storeLastChancePackage(capture);
    WarningText =
        ErrorLogName.empty()
            ? std::string("Error by storing exception package")
            : "Last chance exception occurred!\r\rException log stored to " + ErrorLogName;
    if (!warningShown_) {
      warningShown_ = true;
      if (Callbacks.OnWarning) sync([this] { Callbacks.OnWarning(WarningText); });
    }
  }
  Info = Info + " in " + exceptionModule_;
}

Handle TDebugThread::faultingThread(uint32_t threadId) const {
  auto it = threadHandles_.find(threadId);
  return it != threadHandles_.end() ? it->second.handle : mainThread_;
}

int32_t TDebugThread::scanStack(TCallStack& stack, int32_t depth, Handle process, Handle thread) {
  // The walk snapshot is taken just before the scan; after a stack overflow the exhausted
  // thread is left alone and the bounds of the last snapshot before it are used.
  bool walkOk = false;
  if (!StackOverflow)
    walkOk = readThreadStackInfo(platform_, process, thread, WalkContext, WalkStackInfo);
  ScanRange range = chooseScanRange(StackOverflow, snapshotFailed_, walkOk, StartStackInfo,
                                    ExceptionStackInfo, WalkStackInfo, WalkContext.Esp);
  int32_t count =
      storeRawStack(platform_, stack, range.start, depth, process, range.upper, range.lower);
  return count < 0 ? 0 : count;
}

void TDebugThread::reportStackEntries(const TCallStack& stack, int32_t first, int32_t end,
                                      bool quiet, const ModuleNameFunction& moduleName) {
  StackReporting.store(true);
  auto entries = stackEntriesToPublish(stack, first, end, StackDepth.load(), moduleName, CallStack);
  for (const PublishedStackEntry& entry : entries) {
    if (quiet || !Callbacks.OnCallStackEntry) continue;
    std::string address = hexP(entry.address);
    sync([&] { Callbacks.OnCallStackEntry(entry.index, address, entry.module, "", "", "", 0); });
  }
  StackReporting.store(false);
}

void TDebugThread::closeOwnedHandles() {
  for (auto& [base, h] : dllFiles_) platform_.closeHandle(h);
  dllFiles_.clear();
  for (auto& [pid, h] : imageFiles_) platform_.closeHandle(h);
  imageFiles_.clear();
  if (createdProcess_) {
    if (mainThread_ && !Attached) platform_.closeHandle(mainThread_);
    if (ProcessHandle) platform_.closeHandle(ProcessHandle);
  } else if (attachReadHandle_) {
    platform_.closeHandle(attachReadHandle_);
  }
}

}  // namespace ostrel
