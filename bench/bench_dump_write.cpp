// What writing the minidump adds to a last-chance exception of a debuggee with many
// threads (dbg_sample threads-av: THREADS waiting threads and the main thread, which
// crashes). Two measurements, both in the same run:
//  1. The write itself: at the last chance, the platform's writeMinidump (the call the
//     session makes there) is timed ROUNDS times on the stopped debuggee, normal kind,
//     each into a new file; with --full once more with full memory (slow under Wine).
//  2. The whole front end: `ostrel-cli run --dump normal` against `--dump none` of the
//     same crash, ROUNDS runs each, alternating; the difference of the medians is what the
//     dump adds to the user's wait.
// Target: the normal dump adds at most 1 s.
//   bench_dump_write.exe OSTREL_CLI DEBUGGEE [THREADS] [ROUNDS] [--full]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench_run.h"
#include "minidump/minidump.h"
#include "platform/win32/win32_platform.h"

namespace {

using ostrel::Handle;
using ostrel::bench::Clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

uint64_t fileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

std::string tempFolder(const char* stem) {
  char base[MAX_PATH];
  GetTempPathA(MAX_PATH, base);
  std::string dir = std::string(base) + stem + std::to_string(GetCurrentProcessId()) + "_" +
                    std::to_string(GetTickCount());
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

/// Deletes the files of a folder (no subfolders here) and the folder.
void removeFolder(const std::string& dir) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        DeleteFileA((dir + "\\" + found.cFileName).c_str());
    } while (FindNextFileA(find, &found));
    FindClose(find);
  }
  RemoveDirectoryA(dir.c_str());
}

/// The first .dmp file of a folder; empty when there is none.
std::string dumpIn(const std::string& dir) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((dir + "\\*.dmp").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return {};
  FindClose(find);
  return dir + "\\" + found.cFileName;
}

struct WriteFigures {
  uint32_t threads = 0;  // as the debugger saw them at the last chance
  std::vector<double> normalMs;
  uint64_t normalBytes = 0;
  double fullMs = 0;
  uint64_t fullBytes = 0;
  size_t readBackThreads = 0, readBackModules = 0;  // of the last normal dump
};

/// Debugs the crash and times the platform's dump writes at its last chance.
bool measureWrites(const std::string& debuggee, int threads, int rounds, bool full,
                   WriteFigures& out) {
  ostrel::Win32Platform platform;
  std::string error;
  auto started =
      platform.createProcess("\"" + debuggee + "\" threads-av " + std::to_string(threads), &error);
  if (!started) {
    std::fprintf(stderr, "cannot start %s: %s\n", debuggee.c_str(), error.c_str());
    return false;
  }
  const std::string dir = tempFolder("ostrel_bench_dump_write_");
  std::map<uint32_t, Handle> live{{started->threadId, started->hThread}};
  bool measured = false;
  for (;;) {
    ostrel::DebugEventRecord e{};
    if (platform.waitForDebugEvent(e, 60000) != ostrel::WaitResult::Event) {
      std::fprintf(stderr, "no debug event\n");
      return false;
    }
    uint32_t status = ostrel::kDbgContinue;
    switch (e.dwDebugEventCode) {
      case ostrel::CREATE_PROCESS_DEBUG_EVENT_CODE:
        platform.closeHandle(e.u.CreateProcessInfo.hFile);
        break;
      case ostrel::CREATE_THREAD_DEBUG_EVENT_CODE:
        live[e.dwThreadId] = e.u.CreateThread.hThread;
        break;
      case ostrel::EXIT_THREAD_DEBUG_EVENT_CODE:
        live.erase(e.dwThreadId);
        break;
      case ostrel::LOAD_DLL_DEBUG_EVENT_CODE:
        platform.closeHandle(e.u.LoadDll.hFile);
        break;
      case ostrel::EXCEPTION_DEBUG_EVENT_CODE: {
        const auto& x = e.u.Exception;
        if (x.ExceptionRecord.ExceptionCode == ostrel::kExceptionBreakpoint) break;
        status = ostrel::kDbgExceptionNotHandled;
        if (x.dwFirstChance != 0 || measured) break;
        measured = true;
        out.threads = static_cast<uint32_t>(live.size());
        ostrel::MinidumpRequest request;
        request.process = started->hProcess;
        request.processId = e.dwProcessId;
        request.threadId = e.dwThreadId;
        request.thread = live[e.dwThreadId];
        request.exception = &x.ExceptionRecord;
        for (int i = 0; i < rounds + (full ? 1 : 0); ++i) {
          request.kind =
              i < rounds ? ostrel::MinidumpKind::Normal : ostrel::MinidumpKind::FullMemory;
          request.path = dir + "\\write" + std::to_string(i) + ".dmp";
          const auto t = Clock::now();
          if (!platform.writeMinidump(request, &error)) {
            std::fprintf(stderr, "writeMinidump failed: %s\n", error.c_str());
            return false;
          }
          const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
          if (i < rounds) {
            out.normalMs.push_back(ms);
            out.normalBytes = fileSize(request.path);
            // A dump that cannot be read back would be cheap for nothing.
            std::unique_ptr<ostrel::Minidump> dump = ostrel::Minidump::open(request.path, error);
            if (dump == nullptr) {
              std::fprintf(stderr, "the dump does not read back: %s\n", error.c_str());
              return false;
            }
            out.readBackThreads = dump->threads.size();
            out.readBackModules = dump->modules.size();
          } else {
            out.fullMs = ms;
            out.fullBytes = fileSize(request.path);
          }
        }
        platform.terminateProcess(started->hProcess, 1);
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
  removeFolder(dir);
  if (!measured) std::fprintf(stderr, "no last-chance exception seen\n");
  return measured;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: bench_dump_write OSTREL_CLI DEBUGGEE [THREADS] [ROUNDS] [--full]\n");
    return 2;
  }
  const std::string cli = argv[1], debuggee = argv[2];
  const int threads = argc > 3 ? std::max(1, std::atoi(argv[3])) : 50;
  const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
  const bool full = argc > 5 && std::string(argv[5]) == "--full";

  WriteFigures writes;
  if (!measureWrites(debuggee, threads, rounds, full, writes)) return 1;

  // The front end, normal dump against none, alternating.
  std::vector<double> withDump, without;
  uint64_t frontEndDumpBytes = 0;
  for (int i = 0; i < 2 * rounds; ++i) {
    const bool dump = i % 2 == 0;
    const std::string dir = tempFolder("ostrel_bench_dump_run_");
    const std::string line = "\"" + cli + "\" run --errdir \"" + dir + "\" --dump " +
                             (dump ? "normal" : "none") + " \"" + debuggee + "\" threads-av " +
                             std::to_string(threads);
    const ostrel::bench::Result r = ostrel::bench::runCli(line, dir + "\\out.txt");
    const std::string written = dumpIn(dir);
    if (dump != !written.empty()) {
      std::fprintf(stderr, "run %d (%s): %s\n", i, dump ? "normal" : "none",
                   dump ? "no dump written" : "a dump written anyway");
      return 1;
    }
    if (dump) frontEndDumpBytes = fileSize(written);
    (dump ? withDump : without).push_back(r.seconds);
    removeFolder(dir);
  }

  const double write = median(writes.normalMs);
  const double runWith = median(withDump), runWithout = median(without);
  std::printf("debuggee: dbg_sample threads-av %d, %u threads at the last chance\n", threads,
              writes.threads);
  std::printf("writeMinidump, normal (median of %d): %.1f ms (first %.1f ms), %llu bytes\n", rounds,
              write, writes.normalMs.front(), static_cast<unsigned long long>(writes.normalBytes));
  std::printf("read back: %zu threads, %zu modules\n", writes.readBackThreads,
              writes.readBackModules);
  if (full)
    std::printf("writeMinidump, full memory (once):    %.1f ms, %llu bytes\n", writes.fullMs,
                static_cast<unsigned long long>(writes.fullBytes));
  std::printf("ostrel-cli run, --dump normal (median of %d): %.3f s (dump %llu bytes)\n", rounds,
              runWith, static_cast<unsigned long long>(frontEndDumpBytes));
  std::printf("ostrel-cli run, --dump none   (median of %d): %.3f s\n", rounds, runWithout);
  std::printf("added by the dump: %.3f s whole run, %.3f s the write alone (target <= 1 s: %s)\n",
              runWith - runWithout, write / 1000,
              std::max(runWith - runWithout, write / 1000) <= 1.0 ? "met" : "MISSED");
  return 0;
}
