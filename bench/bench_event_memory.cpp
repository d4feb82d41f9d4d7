// Memory cost of recording debug events: one million events without exceptions run
// through the real event loop over the scripted platform, with the default stack depth
// of 32. Prints the bytes per event held by the event list, against a baseline of the
// same run: the bare 96-byte event records in a vector.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "engine/debug_thread.h"
#include "event_mix.h"
#include "fake_platform.h"

namespace {
std::atomic<long long> gLive{0};

// Resident set size in bytes (Linux), 0 elsewhere.
long long residentBytes() {
  long long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * 4096;
}
}  // namespace

// Counting allocator: a size header in front of every block.
void* operator new(std::size_t n) {
  auto* p = static_cast<std::size_t*>(std::malloc(n + 16));
  if (!p) throw std::bad_alloc();
  *p = n;
  gLive += static_cast<long long>(n);
  return reinterpret_cast<char*>(p) + 16;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  auto* base = reinterpret_cast<std::size_t*>(static_cast<char*>(p) - 16);
  gLive -= static_cast<long long>(*base);
  std::free(base);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

using namespace ostrel;
using namespace ostrel::fake;

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;
  FakePlatform fake;
  DirectSync sync;
  setEnginePlatform(&fake, &sync);
  engineStartup();
  ostrel::bench::queueBusyMix(fake, count);

  long long before = gLive.load();
  long long rssBefore = residentBytes();
  auto t0 = std::chrono::steady_clock::now();
  DebugRun("C:\\app\\sample.exe", "", "", {}, nullptr, false);
  while (fake.continues.size() < static_cast<size_t>(count))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  auto t1 = std::chrono::steady_clock::now();
  DebugStop();
  CurrentDebugThread->WaitFor();
  // What the scripted platform itself keeps (its queue is drained; the continue log is
  // test bookkeeping) is not the engine's.
  long long fakeBytes = static_cast<long long>(fake.continues.capacity() * sizeof(Continue));
  long long recorded = gLive.load() - before - fakeBytes;
  long long rss = residentBytes() - rssBefore;

  std::vector<DebugEventRecord> bare(static_cast<size_t>(count));
  double secs = std::chrono::duration<double>(t1 - t0).count();
  std::printf("events recorded:          %zu\n", DebugEvents->count());
  std::printf("stack depth:              %d\n", StackDepth.load());
  std::printf("bytes per event:          %.1f (target <= 512)\n",
              static_cast<double>(recorded) / count);
  std::printf("resident growth per event: %.1f (allocator overhead included)\n",
              static_cast<double>(rss) / count);
  std::printf("baseline bare record:     %zu bytes per event\n", sizeof(DebugEventRecord));
  std::printf("ratio to baseline:        %.2f\n",
              static_cast<double>(recorded) / count / sizeof(DebugEventRecord));
  std::printf("loop rate (fake platform): %.0f events/s\n", count / secs);
  engineShutdown(nullptr);
  return 0;
}
