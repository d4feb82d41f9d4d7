// Cost of a last-chance stack scan. The debuggee crashes in a thread with about 1 MiB of
// committed stack; at the last-chance event the scan (depth -1, from ESP over the
// thread's stack bounds) is timed against one ReadProcessMemory of the whole committed
// stack, both measured in the same run on the same stopped thread. Target: the scan
// costs at most 5 times the read.
//
// Second figure, what a listed call stack adds: on the same stopped thread, the raw scan
// bounded as at a first-chance exception (64 entries) against the walk (frames, scan between
// them, `call` confirmation; bounded as the session bounds it) with every entry named through
// the module's map or exports, the module list and the maps read before (as a session keeps
// them). Target: walking and naming cost at most twice the raw scan.
//
//   bench_stack_scan.exe DEBUGGEE [KIB] [ROUNDS]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "engine/live_memory_source.h"
#include "engine/stack_capture.h"
#include "engine/stack_scan.h"
#include "platform/win32/win32_platform.h"
#include "stack/stack_walker.h"
#include "stack/symbolizer.h"

namespace {

using Clock = std::chrono::steady_clock;
using ostrel::Address;
using ostrel::Handle;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <class F>
double timeMs(F&& body) {
  auto t0 = Clock::now();
  body();
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Figures {
  uint32_t stackBytes = 0;
  int32_t entries = 0;
  double scanMs = 0;
  double readMs = 0;
  double firstScanMs = 0;
  // The listed stack's part.
  int32_t boundedEntries = 0;
  size_t walked = 0, verified = 0, named = 0;
  double boundedScanMs = 0;
  double walkMs = 0;
};

constexpr int32_t kListDepth = 64;

void measure(ostrel::Win32Platform& platform, Handle process, Handle thread, int rounds,
             Figures& out) {
  ostrel::ThreadContext context{};
  ostrel::StackInfoBlock info{};
  if (!ostrel::readThreadStackInfo(platform, process, thread, context, info)) {
    std::fprintf(stderr, "cannot read the thread's stack bounds\n");
    std::exit(1);
  }
  const Address upper = info.StackBase, lower = info.StackLimit;
  out.stackBytes = upper - lower;
  std::vector<uint8_t> whole(out.stackBytes);
  std::vector<double> scans, reads;
  for (int i = 0; i < rounds; ++i) {
    ostrel::TCallStack stack;
    scans.push_back(timeMs([&] {
      out.entries =
          ostrel::storeRawStack(platform, stack, context.Esp, -1, process, upper, lower);
    }));
    if (i == 0) out.firstScanMs = scans.back();
    reads.push_back(timeMs([&] {
      uint32_t got = 0;
      if (!platform.readMemory(process, lower, whole.data(), out.stackBytes, &got))
        std::fprintf(stderr, "whole-stack read failed\n");
    }));
  }
  out.scanMs = median(scans);
  out.readMs = median(reads);

  // Walk and naming against the bounded raw scan, alternating.
  const auto modules = ostrel::LiveMemorySource::readModules(platform, process);
  ostrel::Symbolizer symbolizer(true);
  std::vector<double> bounded, walks;
  for (int i = 0; i <= rounds; ++i) {
    ostrel::TCallStack stack;
    const double scan = timeMs([&] {
      out.boundedEntries =
          ostrel::storeRawStack(platform, stack, context.Esp, kListDepth, process, upper, lower);
    });
    const double walk = timeMs([&] {
      ostrel::LiveMemorySource memory(platform, process, ostrel::stackRangeOf(info), modules);
      ostrel::StackWalker walker(memory);
      const auto entries = walker.walk({context.Eip, context.Esp, context.Ebp}, 4 * kListDepth);
      out.walked = entries.size();
      out.verified = out.named = 0;
      for (const ostrel::StackEntry& e : entries) {
        out.verified += e.foundBy != ostrel::FoundBy::Scan;
        if (const ostrel::LiveModule* m = memory.moduleOf(e.address))
          out.named += !symbolizer.symbolize(*m->image, e.address).RoutineName.empty();
      }
    });
    if (i == 0) continue;  // the first reads the maps and export tables
    bounded.push_back(scan);
    walks.push_back(walk);
  }
  out.boundedScanMs = median(bounded);
  out.walkMs = median(walks);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_stack_scan DEBUGGEE [KIB] [ROUNDS]\n");
    return 2;
  }
  const std::string kib = argc > 2 ? argv[2] : "1024";
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 15;

  ostrel::Win32Platform platform;
  std::string error;
  auto started = platform.createProcess("\"" + std::string(argv[1]) + "\" " + kib, &error);
  if (!started) {
    std::fprintf(stderr, "cannot start %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::map<uint32_t, Handle> threads{{started->threadId, started->hThread}};
  Figures figures;
  bool measured = false;
  for (;;) {
    ostrel::DebugEventRecord e{};
    if (platform.waitForDebugEvent(e, 30000) != ostrel::WaitResult::Event) {
      std::fprintf(stderr, "no debug event\n");
      return 1;
    }
    uint32_t status = ostrel::kDbgContinue;
    switch (e.dwDebugEventCode) {
      case ostrel::CREATE_PROCESS_DEBUG_EVENT_CODE:
        platform.closeHandle(e.u.CreateProcessInfo.hFile);
        break;
      case ostrel::CREATE_THREAD_DEBUG_EVENT_CODE:
        threads[e.dwThreadId] = e.u.CreateThread.hThread;
        break;
      case ostrel::LOAD_DLL_DEBUG_EVENT_CODE:
        platform.closeHandle(e.u.LoadDll.hFile);
        break;
      case ostrel::EXCEPTION_DEBUG_EVENT_CODE: {
        const auto& x = e.u.Exception;
        if (x.ExceptionRecord.ExceptionCode == ostrel::kExceptionBreakpoint) break;
        status = ostrel::kDbgExceptionNotHandled;
        if (x.dwFirstChance == 0 && !measured) {
          measure(platform, started->hProcess, threads[e.dwThreadId], rounds, figures);
          measured = true;
          platform.terminateProcess(started->hProcess, 1);
        }
        break;
      }
      default:
        break;
    }
    const bool last = e.dwDebugEventCode == ostrel::EXIT_PROCESS_DEBUG_EVENT_CODE &&
                      e.dwProcessId == started->processId;
    platform.continueDebugEvent(e.dwProcessId, e.dwThreadId, status);
    if (last) break;
  }
  platform.closeHandle(started->hThread);
  platform.closeHandle(started->hProcess);
  if (!measured) {
    std::fprintf(stderr, "no last-chance exception seen\n");
    return 1;
  }
  const double ratio = figures.readMs > 0 ? figures.scanMs / figures.readMs : 0;
  std::printf("committed stack        %u bytes\n", figures.stackBytes);
  std::printf("entries found          %d\n", figures.entries);
  std::printf("first scan             %.3f ms\n", figures.firstScanMs);
  std::printf("scan (median of %d)    %.3f ms\n", rounds, figures.scanMs);
  std::printf("whole read (median)    %.3f ms\n", figures.readMs);
  std::printf("ratio                  %.2f (target <= 5)\n", ratio);
  std::printf("raw scan, %d entries   %.3f ms (%d found)\n", kListDepth, figures.boundedScanMs,
              figures.boundedEntries);
  std::printf("walk + naming          %.3f ms (%zu entries, %zu verified, %zu named)\n",
              figures.walkMs, figures.walked, figures.verified, figures.named);
  std::printf("ratio                  %.2f (target <= 2)\n",
              figures.boundedScanMs > 0 ? figures.walkMs / figures.boundedScanMs : 0);
  return 0;
}
