// A debuggee with one behaviour per scenario, chosen by the first argument. Scenarios
// that end normally exit with a fixed code so tests can tell them apart; the crashing
// ones end with their exception code. C++ exceptions raise no debug event with this
// tool chain, so custom codes go through RaiseException.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "debuggee_codes.h"

namespace {

volatile int gZero = 0;
volatile int* volatile gNull = nullptr;

// The child scenario writes its own text here; a reader that uses the parent's handle at
// the child's address would find the parent's text instead.
char gMessage[64] = "parent text";

std::string ownPath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

int argNumber(int argc, char** argv, int index, int fallback) {
  return index < argc ? std::atoi(argv[index]) : fallback;
}

int avRead() {
  int value = *gNull;
  return value;
}

int avWrite() {
  *gNull = 1;
  return 0;
}

int divZero() { return 100 / gZero; }

int customCode() {
  RaiseException(kCustomCode, 0, 0, nullptr);
  return kExitCustomHandled;
}

LONG CALLBACK continueCustom(EXCEPTION_POINTERS* info) {
  return info->ExceptionRecord->ExceptionCode == kHandledCode ? EXCEPTION_CONTINUE_EXECUTION
                                                              : EXCEPTION_CONTINUE_SEARCH;
}

int customHandled() {
  PVOID handler = AddVectoredExceptionHandler(1, continueCustom);
  RaiseException(kHandledCode, 0, 0, nullptr);
  RemoveVectoredExceptionHandler(handler);
  OutputDebugStringA("after handled exception");
  return kExitCustomHandled;
}

int breakpoint() {
  DebugBreak();
  OutputDebugStringA("after breakpoint");
  return kExitBreakpoint;
}

int strings() {
  OutputDebugStringA(kAnsiText);
  OutputDebugStringW(kWideText);
  std::string longText = longDebugString();
  OutputDebugStringA(longText.c_str());
  std::wstring longWide(longText.begin(), longText.end());
  OutputDebugStringW(longWide.c_str());
  return kExitStrings;
}

LONG gThreadsRunning = 0;

DWORD WINAPI waitingThread(LPVOID parameter) {
  InterlockedIncrement(&gThreadsRunning);
  WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
  return 7;
}

// Every thread is alive at the same time before any of them ends. A thread runs its own
// code only after the debugger has continued its creation event, so once all of them
// have counted themselves every creation has been reported.
int threads(int count) {
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<HANDLE> started;
  for (int i = 0; i < count; ++i) {
    HANDLE t = CreateThread(nullptr, 64 * 1024, waitingThread, release,
                            STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (t == nullptr) return kExitFailure;
    started.push_back(t);
  }
  while (InterlockedCompareExchange(&gThreadsRunning, 0, 0) < count) Sleep(1);
  OutputDebugStringA("threads started");
  SetEvent(release);
  for (HANDLE t : started) {
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
  }
  CloseHandle(release);
  return kExitThreads;
}

// A crash with many threads alive: count threads wait on an event that is never set, and
// once all of them run the main thread reads through a null pointer.
int threadsAv(int count) {
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < count; ++i)
    if (CreateThread(nullptr, 64 * 1024, waitingThread, never, STACK_SIZE_PARAM_IS_A_RESERVATION,
                     nullptr) == nullptr)
      return kExitFailure;
  while (InterlockedCompareExchange(&gThreadsRunning, 0, 0) < count) Sleep(1);
  return avRead();
}

// Loads and frees the test DLL count times; with keep it loads it once more and keeps it.
int dllCycles(int count, bool keep) {
  using ValueFn = int(WINAPI*)(int);
  for (int i = 0; i < count; ++i) {
    HMODULE dll = LoadLibraryA(kTestDllName);
    if (dll == nullptr) return kExitFailure;
    auto fn =
        reinterpret_cast<ValueFn>(reinterpret_cast<void*>(GetProcAddress(dll, "TestDllValue")));
    if (fn == nullptr || fn(i) != i + 1) return kExitFailure;
    FreeLibrary(dll);
  }
  return keep && LoadLibraryA(kTestDllName) == nullptr ? kExitFailure : kExitDllCycles;
}

int startChild() {
  std::string line = "\"" + ownPath() + "\" child-body";
  std::vector<char> buffer(line.begin(), line.end());
  buffer.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info))
    return kExitFailure;
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD childCode = 0;
  GetExitCodeProcess(info.hProcess, &childCode);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  OutputDebugStringA(gMessage);
  return childCode == kExitChildBody ? kExitChild : kExitFailure;
}

int childBody() {
  std::snprintf(gMessage, sizeof gMessage, "%s%lu", kChildTextPrefix, GetCurrentProcessId());
  OutputDebugStringA(gMessage);
  return kExitChildBody;
}

// Threads that wait, the test DLL loaded and a child that sleeps, all kept until the time
// is up: a debugger stopped meanwhile has been given handles of each kind.
int hold(int threadCount, int seconds) {
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<HANDLE> started;
  for (int i = 0; i < threadCount; ++i) {
    HANDLE t = CreateThread(nullptr, 64 * 1024, waitingThread, release,
                            STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (t == nullptr) return kExitFailure;
    started.push_back(t);
  }
  HMODULE dll = LoadLibraryA(kTestDllName);
  if (dll == nullptr) return kExitFailure;
  // The child tells through a named event that it runs (so its creation has been reported).
  const std::string name = "ostrel-hold-" + std::to_string(GetCurrentProcessId());
  HANDLE childRuns = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  std::string line = "\"" + ownPath() + "\" hold-child " + name + " " + std::to_string(seconds);
  std::vector<char> buffer(line.begin(), line.end());
  buffer.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &child))
    return kExitFailure;
  if (WaitForSingleObject(childRuns, 60000) != WAIT_OBJECT_0) return kExitFailure;
  while (InterlockedCompareExchange(&gThreadsRunning, 0, 0) < threadCount) Sleep(1);
  OutputDebugStringA(kHeldText);
  for (int tick = 0; tick < seconds * 10; ++tick) Sleep(100);
  SetEvent(release);
  for (HANDLE t : started) {
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  CloseHandle(childRuns);
  FreeLibrary(dll);
  return kExitHold;
}

int holdChild(const char* eventName, int seconds) {
  HANDLE runs = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
  if (runs == nullptr) return kExitFailure;
  SetEvent(runs);
  CloseHandle(runs);
  for (int tick = 0; tick < seconds * 10; ++tick) Sleep(100);
  return kExitHold;
}

__attribute__((noinline)) int recurse(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  // gZero is always 0; the test keeps the compiler from seeing an endless recursion.
  if (gZero == 0) return recurse(depth + 1) + pad[0];
  return pad[0];
}

int sleepFor(int seconds) {
  std::printf("%lu\n", GetCurrentProcessId());
  std::fflush(stdout);
  for (int tick = 0; tick < seconds * 10; ++tick) {
    Sleep(100);
    char text[32];
    std::snprintf(text, sizeof text, "tick %d", tick);
    OutputDebugStringA(text);
  }
  return kExitSleep;
}

// Prints its id, then writes debug strings without pause until the time is up.
int stream(int seconds) {
  std::printf("%lu\n", GetCurrentProcessId());
  std::fflush(stdout);
  const DWORD start = GetTickCount();
  char text[32];
  for (unsigned n = 0; GetTickCount() - start < DWORD(seconds) * 1000; ++n) {
    std::snprintf(text, sizeof text, "stream %u", n);
    OutputDebugStringA(text);
  }
  return kExitSleep;
}

// Each argument after the scenario's name as a debug string "[N]TEXT", as this program
// read it from its command line.
int echoArguments(int argc, char** argv) {
  for (int i = 2; i < argc; ++i)
    OutputDebugStringA(("[" + std::to_string(i - 1) + "]" + argv[i]).c_str());
  return kExitArgs;
}

DWORD WINAPI quietThread(void*) { return 0; }

// A long session's mix, spread evenly over its run: threads started and ended one at a
// time, the test DLL loaded and freed, and debug strings in between. Prints its id first.
int soak(int threads, int cycles, int strings) {
  std::printf("%lu\n", GetCurrentProcessId());
  std::fflush(stdout);
  const int steps = std::max(1, std::max(threads, cycles));
  char text[48];
  int written = 0;
  for (int step = 0; step < steps; ++step) {
    if (step < threads) {
      HANDLE t = CreateThread(nullptr, 0, quietThread, nullptr, 0, nullptr);
      if (t == nullptr) return kExitFailure;
      WaitForSingleObject(t, INFINITE);
      CloseHandle(t);
    }
    if (step < cycles) {
      HMODULE dll = LoadLibraryA(kTestDllName);
      if (dll == nullptr) return kExitFailure;
      FreeLibrary(dll);
    }
    for (const int due = static_cast<int>(static_cast<long long>(strings) * (step + 1) / steps);
         written < due; ++written) {
      std::snprintf(text, sizeof text, "soak %d", written);
      OutputDebugStringA(text);
    }
  }
  return kExitSoak;
}

int stringsBench(int count) {
  char text[48];
  for (int i = 0; i < count; ++i) {
    std::snprintf(text, sizeof text, "bench string %d", i);
    OutputDebugStringA(text);
  }
  return kExitStringsBench;
}

}  // namespace

// Crashes in named routines, for call stacks resolved through the sample's map. Plain C
// names keep the map's routine names simple; noinline keeps each one a frame of its own.
extern "C" __attribute__((noinline)) int faultingRoutine(int offset) { return gNull[offset]; }

extern "C" __attribute__((noinline)) int outerRoutine(int offset) {
  int value = faultingRoutine(offset);
  return value + gZero;
}

// In the part built with frame pointers: DEPTH levels of recursion, then outerRoutine.
extern "C" int framedOuter(int depth);

extern "C" DWORD WINAPI crashingThread(LPVOID) {
  return static_cast<DWORD>(outerRoutine(static_cast<int>(gZero)));
}

// Handled exceptions raised six calls deep: each one a first-chance event with a stack.
extern "C" __attribute__((noinline)) int raiseHandled(int level) {
  // A frame of its own for every level: the result is stored in it after the call.
  volatile int frame[2] = {level, 0};
  if (level > 0)
    frame[1] = raiseHandled(level - 1);
  else
    RaiseException(kHandledCode, 0, 0, nullptr);
  return frame[1] + static_cast<int>(gZero);
}

static int raiseMany(int count) {
  PVOID handler = AddVectoredExceptionHandler(1, continueCustom);
  for (int i = 0; i < count; ++i) raiseHandled(5);
  RemoveVectoredExceptionHandler(handler);
  return kExitRaiseMany;
}

// The DLLs' entry points, kept in memory and called through it as an imported routine is:
// the call names its target for whoever reads the stack.
int (*gChainEnter)(int) = nullptr;
int (*gExportEnter)(int (*)(int), int) = nullptr;

static FARPROC dllRoutine(const char* dll, const char* name) {
  HMODULE module = LoadLibraryA(dll);
  return module == nullptr ? nullptr : GetProcAddress(module, name);
}

// main -> dllMapAv -> ChainEnter -> chainMiddle -> chainFault, which faults.
extern "C" __attribute__((noinline)) int dllMapAv() {
  return gChainEnter(static_cast<int>(gZero)) + gZero;
}

// main -> dllExportAv -> ExportEnter -> ExportMiddle -> outerRoutine -> faultingRoutine.
extern "C" __attribute__((noinline)) int dllExportAv() {
  return gExportEnter(outerRoutine, static_cast<int>(gZero)) + gZero;
}

// Sets the entry point of the scenario's DLL; false when the DLL or its export is missing.
static bool loadChainDll(bool mapped) {
  if (mapped)
    gChainEnter = reinterpret_cast<int (*)(int)>(
        reinterpret_cast<void*>(dllRoutine(kChainDllName, "ChainEnter")));
  else
    gExportEnter = reinterpret_cast<int (*)(int (*)(int), int)>(
        reinterpret_cast<void*>(dllRoutine(kExportDllName, "ExportEnter")));
  return mapped ? gChainEnter != nullptr : gExportEnter != nullptr;
}

static int threadAv() {
  HANDLE t = CreateThread(nullptr, 0, crashingThread, nullptr, 0, nullptr);
  if (t == nullptr) return kExitFailure;
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
  return kExitFailure;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: dbg_sample SCENARIO [N]\n", stderr);
    return kExitUsage;
  }
  std::string scenario = argv[1];
  if (scenario == "av-read") return avRead();
  if (scenario == "av-write") return avWrite();
  if (scenario == "deep-av") return outerRoutine(static_cast<int>(gZero));
  if (scenario == "thread-av") return threadAv();
  if (scenario == "dll-map-av") return loadChainDll(true) ? dllMapAv() : kExitFailure;
  if (scenario == "dll-export-av") return loadChainDll(false) ? dllExportAv() : kExitFailure;
  if (scenario == "framed-av") return framedOuter(argNumber(argc, argv, 2, kFramedDepth));
  if (scenario == "divzero") return divZero();
  if (scenario == "custom-code") return customCode();
  if (scenario == "custom-handled") return customHandled();
  if (scenario == "breakpoint") return breakpoint();
  if (scenario == "strings") return strings();
  if (scenario == "threads") return threads(argNumber(argc, argv, 2, 4));
  if (scenario == "threads-av") return threadsAv(argNumber(argc, argv, 2, 50));
  if (scenario == "dll-cycles") return dllCycles(argNumber(argc, argv, 2, 1), argc > 3 && std::strcmp(argv[3], "keep") == 0);
  if (scenario == "child") return startChild();
  if (scenario == "child-body") return childBody();
  if (scenario == "stackoverflow") return recurse(0);
  if (scenario == "sleep") return sleepFor(argNumber(argc, argv, 2, 30));
  if (scenario == "stream") return stream(argNumber(argc, argv, 2, 60));
  if (scenario == "strings-bench") return stringsBench(argNumber(argc, argv, 2, 1000));
  if (scenario == "soak")
    return soak(argNumber(argc, argv, 2, 2000), argNumber(argc, argv, 3, 5000),
                argNumber(argc, argv, 4, 186000));
  if (scenario == "args") return echoArguments(argc, argv);
  if (scenario == "exit") return argNumber(argc, argv, 2, 0);
  if (scenario == "hold") return hold(argNumber(argc, argv, 2, 4), argNumber(argc, argv, 3, 60));
  if (scenario == "hold-child" && argc > 2) return holdChild(argv[2], argNumber(argc, argv, 3, 60));
  if (scenario == "raise-many") return raiseMany(argNumber(argc, argv, 2, 1000));
  std::fprintf(stderr, "dbg_sample: unknown scenario '%s'\n", scenario.c_str());
  return kExitUsage;
}
