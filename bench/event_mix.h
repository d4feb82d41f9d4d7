// The event mix of a busy program for the scripted platform: debug strings, threads
// starting and ending, a DLL loaded and freed again, after the process's creation.
#pragma once

#include <string>
#include <vector>

#include "fake_platform.h"

namespace ostrel::bench {

/// Queues count events; kind "strings", "threads" or "dlls" keeps one kind of event alone.
inline void queueBusyMix(fake::FakePlatform& fake, int count, const std::string& kind = "all") {
  using namespace ostrel::fake;
  fake.pokeString(0x100, 0x5000, "a debug string of ordinary length");
  std::vector<DebugEventRecord> mix = {
      makeDebugString(0x500, 0x600, 0x5000, 34, 0),
      makeCreateThread(0x500, 0x700, 0x120, 0x7FFDE000, 0x401000),
      makeExitThread(0x500, 0x700, 0),
      makeLoadDll(0x500, 0x600, 0, 0x10000000, 0, 0),
      makeUnloadDll(0x500, 0x600, 0x10000000),
  };
  if (kind == "strings") mix = {mix[0]};
  if (kind == "threads") mix = {mix[1], mix[2]};
  if (kind == "dlls") mix = {mix[3], mix[4]};
  fake.queueEvent(makeCreateProcess(0x500, 0x600, 0x100, 0x104, 0x400000, 0x401000));
  for (int i = 1; i < count; ++i) fake.queueEvent(mix[static_cast<size_t>(i) % mix.size()]);
}

}  // namespace ostrel::bench
