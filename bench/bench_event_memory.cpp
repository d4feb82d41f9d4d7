// Memory cost of recording debug events, through the real event loop over the scripted
// platform:
//  1. a busy program's mix of events without exceptions (one million by default), at the
//     default stack depth of 32, against the bare 96-byte event records in a vector;
//  2. first-chance exceptions, each with a 6-deep stack, at depth 255 (20,000 by default),
//     against the layout that allocated every one of the `depth` slots with the first
//     filled one (rebuilt here and measured in the same run). Target: <= 1 KB an event.
//
//   bench_event_memory [MIX_EVENTS] [EXCEPTION_EVENTS]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
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

// Counting allocator: a size header in front of every block. (GCC takes the free of a
// block of the replaced operator new for a mismatch once it inlines both.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
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

namespace {

constexpr Handle kProc = 0x100, kThread = 0x104;
constexpr uint32_t kPid = 0x500, kTid = 0x600;
const char kExe[] = "C:\\app\\sample.exe";
constexpr int kStackEntries = 6;
constexpr int32_t kDeepDepth = 255;

/// Runs a session until count events have been continued, then stops it. Returns the
/// seconds the events took.
double runSession(FakePlatform& fake, size_t count) {
  auto t0 = std::chrono::steady_clock::now();
  DebugRun(kExe, "", "", {}, nullptr, false);
  while (fake.continueCount() < count) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  auto t1 = std::chrono::steady_clock::now();
  DebugStop();
  CurrentDebugThread->WaitFor();
  return std::chrono::duration<double>(t1 - t0).count();
}

/// What the scripted platform itself keeps (the continue log is test bookkeeping) is not
/// the engine's.
long long fakeBytes(const FakePlatform& fake) {
  return static_cast<long long>(fake.continues.capacity() * sizeof(Continue));
}

void busyMix(int count) {
  FakePlatform fake;
  DirectSync sync;
  setEnginePlatform(&fake, &sync);
  engineStartup();
  // Taken before the events are queued: the queue is drained (and freed) by the run.
  long long before = gLive.load();
  long long rssBefore = residentBytes();
  ostrel::bench::queueBusyMix(fake, count);
  double secs = runSession(fake, static_cast<size_t>(count));
  long long recorded = gLive.load() - before - fakeBytes(fake);
  long long rss = residentBytes() - rssBefore;
  std::vector<DebugEventRecord> bare(static_cast<size_t>(count));

  std::printf("-- events without exceptions\n");
  std::printf("events recorded:          %zu\n", DebugEvents->count());
  std::printf("stack depth:              %d\n", StackDepth.load());
  std::printf("bytes per event:          %.1f (target <= 512)\n",
              static_cast<double>(recorded) / count);
  std::printf("resident growth per event: %.1f (allocator overhead and queue included)\n",
              static_cast<double>(rss) / count);
  std::printf("baseline bare record:     %zu bytes per event\n", sizeof(DebugEventRecord));
  std::printf("ratio to baseline:        %.2f\n",
              static_cast<double>(recorded) / count / sizeof(DebugEventRecord));
  std::printf("loop rate (fake platform): %.0f events/s\n", count / secs);
  engineShutdown(nullptr);
}

/// The executable's image with kStackEntries + 1 calls, and the initial thread's stack
/// holding their return addresses: a first-chance scan finds them all and keeps
/// positions 1 to kStackEntries with the event (position 0 is not kept).
void prepareDeepStack(FakePlatform& fake) {
  fake.addRegion(kProc, {0x400000, 0x10000, 0x400000, kMemCommit});
  fake.addModule(kProc, 0x400000, kExe);
  fake.poke32(kProc, 0x400000 + 0x3C, 0x80);
  fake.poke32(kProc, 0x400000 + 0x80 + 0x2C, 0x1000);
  fake.poke32(kProc, 0x2000, 0x3000);
  fake.pokeString(kProc, 0x3000, kExe);
  ThreadContext ctx{};
  ctx.Esp = 0x0012F000;
  fake.contexts[kThread] = ctx;
  fake.tebs[kThread] = 0x7FFDF000;
  StackInfoBlock block{};
  block.StackBase = 0x00130000;
  block.StackLimit = 0x0012E000;
  fake.poke(kProc, 0x7FFDF000, &block, sizeof block);
  std::vector<uint8_t> code(0x100, 0x90);
  std::vector<uint8_t> zeros(0x2000, 0);
  fake.poke(kProc, 0x0012E000, zeros.data(), zeros.size());
  for (int k = 0; k <= kStackEntries; ++k) {
    code[static_cast<size_t>(0x10 + 0x10 * k)] = 0xE8;  // call at 0x401110 + 0x10 k
    fake.poke32(kProc, 0x0012F010 + 0x10 * static_cast<Address>(k),
                0x401115 + 0x10 * static_cast<Address>(k));
  }
  fake.poke(kProc, 0x401100, code.data(), code.size());
}

// The layout before: the first slot filled allocated all `depth` entries.
struct OldLayoutStack {
  uint32_t size = 0;
  std::unique_ptr<std::vector<TEventCallStackEntry>> entries;
  void set(uint32_t i, uint32_t address, std::string module) {
    if (i >= size) return;
    if (!entries) entries = std::make_unique<std::vector<TEventCallStackEntry>>(size);
    (*entries)[i].Address = address;
    (*entries)[i].Module = std::move(module);
  }
};

/// Bytes one 6-deep stack at depth 255 takes, as the event keeps it now and as the old
/// layout kept it, each measured over n stacks.
template <class Stack>
double stackBytes(int n, Stack make) {
  long long before = gLive.load();
  std::vector<decltype(make())> stacks;
  stacks.reserve(static_cast<size_t>(n));
  long long vectorBytes = gLive.load() - before;
  for (int i = 0; i < n; ++i) stacks.push_back(make());
  return static_cast<double>(gLive.load() - before - vectorBytes) / n;
}

void firstChanceExceptions(int count) {
  FakePlatform fake;
  DirectSync sync;
  setEnginePlatform(&fake, &sync);
  engineStartup();
  const int32_t defaultDepth = StackDepth.load();
  StackDepth.store(kDeepDepth);
  prepareDeepStack(fake);
  fake.queueEvent(makeCreateProcess(kPid, kTid, kProc, kThread, 0x400000, 0x401234, 0x2000));
  fake.endless = makeException(kPid, kTid, 0xC0000094, 0x401500, true);  // caught
  long long before = gLive.load();
  long long rssBefore = residentBytes();
  double secs = runSession(fake, static_cast<size_t>(count) + 1);
  long long recorded = gLive.load() - before - fakeBytes(fake);
  long long rss = residentBytes() - rssBefore;
  // The loop may take a few events more than asked for before it sees the stop.
  const size_t events = DebugEvents->count();
  const TDbgEvent* last = DebugEvents->at(events - 1);
  const double perEvent = static_cast<double>(recorded) / static_cast<double>(events);

  const int samples = 1000;
  const double nowStack = stackBytes(samples, [] {
    TEventCallStack stack(kDeepDepth);
    for (int k = 1; k <= kStackEntries; ++k)
      stack.set(static_cast<uint32_t>(k), 0x401105u + 0x10u * static_cast<uint32_t>(k),
                "sample.exe");
    stack.shrinkToFit();
    return stack;
  });
  const double oldStack = stackBytes(samples, [] {
    OldLayoutStack stack;
    stack.size = kDeepDepth;
    for (int k = 1; k <= kStackEntries; ++k)
      stack.set(static_cast<uint32_t>(k), 0x401105u + 0x10u * static_cast<uint32_t>(k),
                "sample.exe");
    return stack;
  });
  const double oldPerEvent = perEvent - nowStack + oldStack;

  std::printf("-- first-chance exceptions, %d-deep stack at depth %d\n", kStackEntries, kDeepDepth);
  std::printf("events recorded:          %zu (the last keeps %u stack entries of %u slots)\n",
              events, last->CallStack.filled(), last->CallStack.size());
  std::printf("bytes per event:          %.1f (target <= 1024)\n", perEvent);
  std::printf("resident growth per event: %.1f (allocator overhead included)\n",
              static_cast<double>(rss) / static_cast<double>(events));
  std::printf("stack bytes per event:    %.1f now, %.1f in the old layout (measured here)\n",
              nowStack, oldStack);
  std::printf("old layout per event:     %.1f bytes\n", oldPerEvent);
  std::printf("ratio to the old layout:  %.4f (%.0fx smaller)\n", perEvent / oldPerEvent,
              oldPerEvent / perEvent);
  std::printf("loop rate (fake platform): %.0f events/s\n", static_cast<double>(events) / secs);
  StackDepth.store(defaultDepth);
  engineShutdown(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const int mixCount = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const int exceptionCount = argc > 2 ? std::atoi(argv[2]) : 20000;
  // The smaller run first: the resident growth of the second counts the memory the first
  // gave back as reused.
  if (exceptionCount > 0) firstChanceExceptions(exceptionCount);
  if (mixCount > 0) busyMix(mixCount);
  return 0;
}
