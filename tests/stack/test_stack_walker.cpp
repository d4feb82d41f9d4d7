#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "stack/stack_walker.h"

namespace ostrel {
namespace {

/// A memory image written byte by byte: what was never written cannot be read.
class ScriptedMemory : public MemorySource {
 public:
  struct Module {
    Address base, size, codeStart, codeEnd;
  };

  uint32_t read(Address address, void* out, uint32_t n) override {
    auto* to = static_cast<uint8_t*>(out);
    for (uint32_t i = 0; i < n; ++i) {
      auto it = bytes_.find(uint64_t{address} + i);
      if (it == bytes_.end()) return i;
      to[i] = it->second;
    }
    return n;
  }
  std::optional<ModuleSpan> moduleAt(Address address) override {
    for (const Module& m : modules)
      if (address >= m.base && address - m.base < m.size)
        return ModuleSpan{m.base, m.size, address >= m.codeStart && address < m.codeEnd};
    return std::nullopt;
  }
  std::optional<StackRange> stackRange() override { return stack; }

  void put(Address address, std::initializer_list<uint8_t> values) {
    for (uint8_t v : values) bytes_[address++] = v;
  }
  void put32(Address address, uint32_t v) {
    put(address, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
  }
  /// Fills [from, to) with zeros, readable.
  void zero(Address from, Address to) {
    for (uint64_t a = from; a < to; ++a) bytes_[a] = 0;
  }
  void erase(Address from, Address to) {
    bytes_.erase(bytes_.lower_bound(from), bytes_.lower_bound(to));
  }
  /// A direct call at site: returns the return address.
  Address callDirect(Address site, Address target) {
    put(site, {0xE8});
    put32(site + 1, target - (site + 5));
    return site + 5;
  }
  /// An indirect call through the slot at importSlot: returns the return address.
  Address callIndirect(Address site, Address importSlot) {
    put(site, {0xFF, 0x15});
    put32(site + 2, importSlot);
    return site + 6;
  }

  std::vector<Module> modules;
  std::optional<StackRange> stack;

 private:
  std::map<uint64_t, uint8_t> bytes_;
};

constexpr Address kApp = 0x00400000, kDll = 0x10000000;
constexpr Address kStackLow = 0x0012E000, kStackHigh = 0x00130000;

// Routines of the app: main calls f, f calls g, g (no frame pointer) calls h, which
// faults; k is never on the stack but a stale return address from calling it is.
constexpr Address kMain = 0x401000, kF = 0x401100, kG = 0x401200, kH = 0x401300, kK = 0x401400,
                  kFault = 0x401350;
constexpr Address kDllStart = 0x10001000, kDllImportSlot = 0x10003000;

/// Two modules with code and data, zeroed memory everywhere the test reads.
ScriptedMemory image() {
  ScriptedMemory m;
  m.modules = {{kApp, 0x10000, 0x401000, 0x402000}, {kDll, 0x10000, 0x10001000, 0x10002000}};
  m.stack = StackRange{kStackLow, kStackHigh};
  m.zero(0x400000, 0x403000);
  m.zero(0x10000000, 0x10004000);
  m.zero(kStackLow, kStackHigh);
  return m;
}

StackEntry entry(Address address, Address position, FoundBy how) {
  return {address, position, how};
}

std::string describe(const std::vector<StackEntry>& entries) {
  std::string s;
  char line[64];
  for (const StackEntry& e : entries) {
    std::snprintf(line, sizeof line, "%08X @%08X %s\n", e.address, e.position,
                  foundByName(e.foundBy));
    s += line;
  }
  return s;
}

/// The crash of the routines above, with the stack as they leave it.
struct Crash {
  ScriptedMemory memory = image();
  WalkContext context;
  Address retMain, retF, retG, retH, retStale, staleSlot, retDll;
  // f's and main's frames lie on the stack's last page, h's on the page below.
  Address fpH = 0x12EF00, fpF = 0x12F040, fpMain = 0x12F100;

  Crash() {
    ScriptedMemory& m = memory;
    retDll = m.callIndirect(kDllStart + 0x40, kDllImportSlot);  // the DLL starts main
    m.put32(kDllImportSlot, kMain);
    retMain = m.callDirect(kMain + 0x10, kF);
    retF = m.callDirect(kF + 0x20, kG);
    retG = m.callDirect(kG + 0x30, kH);
    retStale = m.callDirect(kMain + 0x50, kK);
    context = {kFault, 0x12EEF0, fpH};
    staleSlot = context.esp + 8;
    m.put32(staleSlot, retStale);
    // h's frame: g keeps no frame pointer, so h saved f's.
    m.put32(fpH, fpF);
    m.put32(fpH + 4, retG);
    m.put32(fpH + 0x10, retF);  // g's return address, passed over by the chain
    m.put32(fpF, fpMain);
    m.put32(fpF + 4, retMain);
    m.put32(fpMain, 0);  // the chain's end
    m.put32(fpMain + 4, retDll);
  }
};

TEST(StackWalker, FollowsTheChainAndConfirmsTheFrameItPassesOver) {
  Crash crash;
  StackWalker walker(crash.memory);
  const std::vector<StackEntry> expected = {
      entry(kFault, crash.context.esp, FoundBy::context),
      // Calls k, which lies above the faulting routine: not the caller of h.
      entry(crash.retStale, crash.staleSlot, FoundBy::scan),
      entry(crash.retG, crash.fpH + 4, FoundBy::frame),
      entry(crash.retF, crash.fpH + 0x10, FoundBy::call),
      entry(crash.retMain, crash.fpF + 4, FoundBy::frame),
      entry(crash.retDll, crash.fpMain + 4, FoundBy::frame),
  };
  EXPECT_EQ(describe(walker.walk(crash.context, 64)), describe(expected));
  // The bound counts the context entry.
  EXPECT_EQ(describe(walker.walk(crash.context, 3)),
            describe({expected.begin(), expected.begin() + 3}));

  // Frame pointers lost inside h (EBP reused): the scan finds every caller and, from
  // the first confirmed one, the chain again.
  crash.context.ebp = 0x12345678;
  std::vector<StackEntry> rescanned = expected;
  rescanned[2].foundBy = FoundBy::call;  // h's caller: g holds the call to h
  EXPECT_EQ(describe(walker.walk(crash.context, 64)), describe(rescanned));
}

TEST(StackWalker, BrokenChainsEndCleanlyAndTrustNothingBeyondTheBreak) {
  // A frame whose saved frame pointer points back down the stack.
  {
    Crash crash;
    crash.memory.put32(crash.fpF, crash.fpH);
    const auto entries = StackWalker(crash.memory).walk(crash.context, 64);
    ASSERT_GE(entries.size(), 4u);
    EXPECT_EQ(entries[2], entry(crash.retG, crash.fpH + 4, FoundBy::frame));
    // f's frame is not trusted, but its return address is still found by the scan.
    EXPECT_EQ(entries[4], entry(crash.retMain, crash.fpF + 4, FoundBy::call)) << describe(entries);
    for (size_t i = 1; i < entries.size(); ++i)
      EXPECT_GT(entries[i].position, entries[i - 1].position) << describe(entries);
  }
  // A chain leaving the stack for memory that holds a plausible frame.
  {
    Crash crash;
    const Address outside = 0x00200000;
    crash.memory.put32(crash.fpF, outside);
    crash.memory.put32(outside, 0);
    crash.memory.put32(outside + 4, crash.retStale);
    crash.memory.put32(crash.fpMain + 4, 0);  // nothing above f's frame
    const auto entries = StackWalker(crash.memory).walk(crash.context, 64);
    ASSERT_EQ(entries.size(), 5u) << describe(entries);
    EXPECT_EQ(entries.back(), entry(crash.retMain, crash.fpF + 4, FoundBy::call));
  }
  // A return address behind call bytes, but in the module's data.
  {
    Crash crash;
    const Address data = crash.memory.callDirect(0x402100, kG);
    crash.memory.put32(crash.fpH + 4, data);
    crash.memory.put32(crash.fpH + 0x10, 0);
    const auto entries = StackWalker(crash.memory).walk(crash.context, 64);
    for (const StackEntry& e : entries) EXPECT_NE(e.address, data) << describe(entries);
    // The chain is lost with h's frame and found again at main's.
    EXPECT_EQ(entries.back(), entry(crash.retDll, crash.fpMain + 4, FoundBy::frame))
        << describe(entries);
  }
  // An unreadable page holding the frames of f and main.
  {
    Crash crash;
    crash.memory.erase(0x12F000, 0x130000);
    const auto entries = StackWalker(crash.memory).walk(crash.context, 64);
    ASSERT_EQ(entries.size(), 4u) << describe(entries);
    EXPECT_EQ(entries.back(), entry(crash.retF, crash.fpH + 0x10, FoundBy::call));
  }
}

TEST(StackWalker, MergedListKeepsEveryRawScanHitAndAddsTheFramesItLacks) {
  Crash crash;
  ScriptedMemory& m = crash.memory;
  // Above main's frame: a word into the app's data behind call bytes, which only the
  // raw scan takes, and a recursion of f the raw scan lists once.
  const Address data = m.callDirect(0x402100, kG);
  m.put32(crash.fpMain - 8, data);
  const Address fpF2 = crash.fpF + 0x20;
  m.put32(crash.fpF, fpF2);
  m.put32(fpF2, crash.fpMain);
  m.put32(fpF2 + 4, crash.retMain);
  const Address recursion = m.callDirect(kF + 0x60, kF);
  m.put32(crash.fpF + 4, recursion);
  m.put32(crash.fpF - 4, recursion);  // a stale copy right below: the frame repeats it

  StackWalker walker(m);
  const auto raw = walker.rawScan(crash.context.esp, 64);
  const auto merged = walker.merged(crash.context, 64);
  ASSERT_FALSE(merged.empty());
  EXPECT_EQ(merged.front().foundBy, FoundBy::context);
  // Every raw hit, in its order, at its slot.
  auto it = merged.begin();
  for (const StackEntry& hit : raw) {
    it = std::find_if(it, merged.end(), [&](const StackEntry& e) {
      return e.position == hit.position && e.address == hit.address;
    });
    ASSERT_NE(it, merged.end()) << describe(raw) << "--\n" << describe(merged);
  }
  const std::vector<StackEntry> expected = {
      entry(kFault, crash.context.esp, FoundBy::context),
      entry(crash.retStale, crash.staleSlot, FoundBy::scan),
      entry(crash.retG, crash.fpH + 4, FoundBy::frame),
      entry(crash.retF, crash.fpH + 0x10, FoundBy::call),
      // Calls f, which starts below the entry below: the rule cannot tell a stale copy.
      entry(recursion, crash.fpF - 4, FoundBy::call),
      entry(recursion, crash.fpF + 4, FoundBy::frame),  // not in the raw scan: a repeat
      entry(crash.retMain, fpF2 + 4, FoundBy::frame),
      entry(data, crash.fpMain - 8, FoundBy::scan),
      entry(crash.retDll, crash.fpMain + 4, FoundBy::frame),
  };
  EXPECT_EQ(describe(merged), describe(expected));
}

TEST(StackWalker, RandomImagesEndWithEveryEntryInCode) {
  std::mt19937 random(14);
  for (int round = 0; round < 50; ++round) {
    ScriptedMemory m = image();
    auto pick = [&](Address low, Address high) -> Address {
      return low + static_cast<Address>(random() % (high - low));
    };
    auto codeOrStack = [&]() -> Address {
      switch (random() % 4) {
        case 0:
          return pick(0x401000, 0x402000);
        case 1:
          return pick(0x10001000, 0x10002000);
        case 2:
          return pick(kStackLow, kStackHigh) & ~3u;
        default:
          return random() % 16 == 0 ? 0 : pick(0x402000, 0x403000);
      }
    };
    for (int i = 0; i < 300; ++i) m.put32(pick(0x401000, 0x402000), codeOrStack());
    for (int i = 0; i < 300; ++i) m.put(pick(0x401000, 0x402000), {0xE8});
    for (int i = 0; i < 600; ++i) m.put32(pick(kStackLow, kStackHigh - 4) & ~3u, codeOrStack());
    if (round % 3 == 0) m.erase(0x12F000, 0x12F800);
    const WalkContext context{pick(0x401000, 0x402000), pick(kStackLow, kStackHigh) & ~3u,
                              codeOrStack()};
    const uint32_t bound = 1 + random() % 40;
    StackWalker walker(m);
    const auto entries = walker.walk(context, bound);
    ASSERT_LE(entries.size(), bound);
    for (size_t i = 1; i < entries.size(); ++i) {
      ASSERT_GT(entries[i].position, entries[i - 1].position);
      const auto module = m.moduleAt(entries[i].address);
      ASSERT_TRUE(module && module->executable) << describe(entries);
    }
    const auto merged = walker.merged(context, bound);
    ASSERT_LE(merged.size(), 2u * bound);
  }
}

}  // namespace
}  // namespace ostrel
