// main() of the Windows build's test programs. Unlike gtest_main, it does not let the
// program end while another of its threads is still starting or ending: Wine (8.0) kills
// a process that ends at that moment with SIGSEGV (the thread's own start-up code takes
// the termination signal before it can handle it), after every result has been printed.
// GoogleTest starts such a thread on a thread's first recorded result (GTEST_SKIP, a
// failure, SCOPED_TRACE): the watcher of its per-thread data, often just before the end.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <atomic>

namespace {

// Ids of the threads that have finished starting (the loader told them to attach) and
// have not begun to end. A thread that finds no free slot only makes the end wait.
constexpr int kSlots = 1024;
std::atomic<DWORD> gRunning[kSlots];

void NTAPI onThreadEvent(PVOID, DWORD reason, PVOID) {
  const DWORD id = GetCurrentThreadId();
  if (reason == DLL_THREAD_ATTACH) {
    for (auto& slot : gRunning) {
      DWORD free = 0;
      if (slot.compare_exchange_strong(free, id)) return;
    }
  } else if (reason == DLL_THREAD_DETACH) {
    for (auto& slot : gRunning) {
      DWORD mine = id;
      if (slot.compare_exchange_strong(mine, 0)) return;
    }
  }
}

bool running(DWORD id) {
  for (const auto& slot : gRunning)
    if (slot.load() == id) return true;
  return false;
}

// True when this process has a thread, other than the caller, that is not known to be
// running: it is starting or ending.
bool threadStartingOrEnding() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  const DWORD process = GetCurrentProcessId(), self = GetCurrentThreadId();
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL ok = Thread32First(snapshot, &entry); ok && !found; ok = Thread32Next(snapshot, &entry))
    found = entry.th32OwnerProcessID == process && entry.th32ThreadID != self &&
            !running(entry.th32ThreadID);
  CloseHandle(snapshot);
  return found;
}

}  // namespace

// The loader calls the callbacks of this table for every thread that attaches or detaches.
extern "C" {
__attribute__((section(".CRT$XLF"), used)) PIMAGE_TLS_CALLBACK ostrelThreadEvents = onThreadEvent;
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  // At most about a second, for a thread that never comes through.
  for (int i = 0; i < 200 && threadStartingOrEnding(); ++i) Sleep(5);
  return result;
}
