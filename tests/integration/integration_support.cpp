#include "integration_support.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <sstream>

namespace ostrel::itest {

namespace {

HANDLE asHandle(uintptr_t h) { return reinterpret_cast<HANDLE>(h); }

// Appends what the pipe holds now, without waiting for more.
void drain(HANDLE pipe, std::string& text) {
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) return;
    DWORD n = 0;
    if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &n, nullptr) || n == 0)
      return;
    text.append(buffer, n);
  }
}

struct Pipe {
  HANDLE read = nullptr, write = nullptr;
  bool open() {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    if (!CreatePipe(&read, &write, &sa, 0)) return false;
    // Only the child's end is inherited, or the read would never see the end.
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    return true;
  }
  void closeWrite() {
    if (write) CloseHandle(write);
    write = nullptr;
  }
  ~Pipe() {
    closeWrite();
    if (read) CloseHandle(read);
  }
};

}  // namespace

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string windowsPath(const std::string& path) {
  std::string result = path;
  if (!result.empty() && result[0] == '/') result = "Z:" + result;
  std::replace(result.begin(), result.end(), '/', '\\');
  return result;
}

std::string samplePath() { return windowsPath(OSTREL_DBG_SAMPLE); }
std::string cliPath() { return windowsPath(OSTREL_CLI); }

std::string sampleCommand(const std::string& arguments) {
  return "\"" + samplePath() + "\" " + arguments;
}

std::vector<std::string> RunResult::lines() const {
  std::vector<std::string> result;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    result.push_back(line);
  }
  return result;
}

RunResult runCaptured(const std::string& commandLine, uint32_t limitMs) {
  RunResult result;
  Pipe out, err;
  if (!out.open() || !err.open()) return result;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out.write;
  startup.hStdError = err.write;
  PROCESS_INFORMATION info{};
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &info)) {
    result.err = "cannot start: " + commandLine;
    return result;
  }
  out.closeWrite();
  err.closeWrite();
  // The pipes are emptied while the program runs and once more after it has ended; the
  // end of its output is its exit, not the pipes' end, since a process it started (Wine
  // starts its desktop process for the first window) may inherit them and live on.
  const DWORD start = GetTickCount();
  for (;;) {
    const bool ended = WaitForSingleObject(info.hProcess, 10) == WAIT_OBJECT_0;
    drain(out.read, result.out);
    drain(err.read, result.err);
    if (ended) {
      result.finished = true;
      break;
    }
    if (GetTickCount() - start >= limitMs) {
      TerminateProcess(info.hProcess, 1);
      WaitForSingleObject(info.hProcess, 5000);
      drain(out.read, result.out);
      drain(err.read, result.err);
      break;
    }
  }
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  result.exitCode = code;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return result;
}

PlainProcess::PlainProcess(const std::string& commandLine) {
  Pipe out;
  if (!out.open()) return;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out.write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &info))
    return;
  CloseHandle(info.hThread);
  process_ = reinterpret_cast<uintptr_t>(info.hProcess);
  id_ = info.dwProcessId;
  outRead_ = reinterpret_cast<uintptr_t>(out.read);
  out.read = nullptr;  // kept for firstLine()
}

PlainProcess::~PlainProcess() {
  kill();
  if (process_) CloseHandle(asHandle(process_));
  if (outRead_) CloseHandle(asHandle(outRead_));
}

std::string PlainProcess::firstLine() {
  std::string line;
  char c = 0;
  DWORD n = 0;
  while (outRead_ && ReadFile(asHandle(outRead_), &c, 1, &n, nullptr) && n == 1 && c != '\n')
    if (c != '\r') line += c;
  return line;
}

bool PlainProcess::alive() const {
  return process_ && WaitForSingleObject(asHandle(process_), 0) == WAIT_TIMEOUT;
}

void PlainProcess::kill() {
  if (alive()) {
    TerminateProcess(asHandle(process_), 1);
    WaitForSingleObject(asHandle(process_), 5000);
  }
}

BareDebugger::~BareDebugger() { finish(); }

bool BareDebugger::start(const std::string& commandLine, std::string* error) {
  auto info = platform_.createProcess(commandLine, error);
  if (!info) return false;
  start_ = *info;
  mainProcessId_ = info->processId;
  owned_.push_back(info->hProcess);
  owned_.push_back(info->hThread);
  return true;
}

bool BareDebugger::attach(uint32_t processId) {
  if (!platform_.debugActiveProcess(processId)) return false;
  attached_ = true;
  mainProcessId_ = processId;
  return true;
}

Handle BareDebugger::mainProcess() const {
  return start_.hProcess ? start_.hProcess : eventProcess_;
}

void BareDebugger::remember(const DebugEventRecord& event) {
  last_ = event;
  pending_ = true;
  // Handles delivered with events belong to the debugger.
  switch (event.dwDebugEventCode) {
    case CREATE_PROCESS_DEBUG_EVENT_CODE:
      owned_.push_back(event.u.CreateProcessInfo.hFile);
      if (event.dwProcessId == mainProcessId_) eventProcess_ = event.u.CreateProcessInfo.hProcess;
      break;
    case LOAD_DLL_DEBUG_EVENT_CODE:
      owned_.push_back(event.u.LoadDll.hFile);
      break;
    case EXIT_PROCESS_DEBUG_EVENT_CODE:
      if (event.dwProcessId == mainProcessId_) mainExited_ = true;
      break;
    default:
      break;
  }
}

std::optional<DebugEventRecord> BareDebugger::next(uint32_t timeoutMs) {
  if (pending_ && !resume()) return std::nullopt;
  DebugEventRecord event{};
  if (platform_.waitForDebugEvent(event, timeoutMs) != WaitResult::Event) return std::nullopt;
  remember(event);
  return event;
}

bool BareDebugger::resume() {
  if (!pending_) return true;
  pending_ = false;
  uint32_t status = kDbgContinue;
  if (last_.dwDebugEventCode == EXCEPTION_DEBUG_EVENT_CODE &&
      last_.u.Exception.ExceptionRecord.ExceptionCode != kExceptionBreakpoint)
    status = kDbgExceptionNotHandled;
  return platform_.continueDebugEvent(last_.dwProcessId, last_.dwThreadId, status);
}

std::optional<DebugEventRecord> BareDebugger::until(
    const std::function<bool(const DebugEventRecord&)>& pred, uint32_t timeoutMs) {
  DWORD deadline = GetTickCount() + timeoutMs;
  while (true) {
    DWORD now = GetTickCount();
    if (static_cast<int32_t>(deadline - now) <= 0) return std::nullopt;
    auto event = next(deadline - now);
    if (!event) return std::nullopt;
    if (pred(*event)) return event;
  }
}

std::optional<uint32_t> BareDebugger::runToExit(uint32_t timeoutMs) {
  auto event = until(
      [&](const DebugEventRecord& e) {
        return e.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT_CODE &&
               e.dwProcessId == mainProcessId_;
      },
      timeoutMs);
  if (!event) return std::nullopt;
  return event->u.ExitProcess.dwExitCode;
}

bool BareDebugger::detach() {
  if (!resume()) return false;
  bool ok = platform_.debugActiveProcessStop(mainProcessId_);
  if (ok) mainExited_ = true;  // nothing left to drain
  return ok;
}

void BareDebugger::finish() {
  if (!mainExited_ && mainProcessId_ != 0) {
    Handle process = mainProcess();
    if (process)
      platform_.terminateProcess(process, 1);
    else if (HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, mainProcessId_)) {
      TerminateProcess(h, 1);
      CloseHandle(h);
    }
    // Drain until the main process is gone so the next test starts clean.
    until(
        [&](const DebugEventRecord& e) {
          return e.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT_CODE &&
                 e.dwProcessId == mainProcessId_;
        },
        10000);
  }
  resume();
  // Children that are still running would keep delivering events to this thread.
  DebugEventRecord event{};
  while (platform_.waitForDebugEvent(event, 50) == WaitResult::Event) {
    remember(event);
    resume();
  }
  for (Handle h : owned_) platform_.closeHandle(h);
  owned_.clear();
}

}  // namespace ostrel::itest
