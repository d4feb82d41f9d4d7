#include <gtest/gtest.h>

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
    for (uint32_t i = 0; i < n; ++i) {
      auto it = bytes_.find(uint64_t{address} + i);
      if (it == bytes_.end()) return i;
      static_cast<uint8_t*>(out)[i] = it->second;
    }
    return n;
  }
  std::optional<ModuleSpan> moduleAt(Address a) override {
    for (const Module& m : modules)
      if (a >= m.base && a - m.base < m.size)
        return ModuleSpan{m.base, m.size, a >= m.codeStart && a < m.codeEnd};
    return std::nullopt;
  }
  std::optional<StackRange> stackRange() override { return stack; }

  void put(Address a, uint8_t v) { bytes_[a] = v; }
  void put32(Address a, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_[a + i] = uint8_t(v >> 8 * i);
  }
  void zero(Address from, Address to) {
    for (uint64_t a = from; a < to; ++a) bytes_[a] = 0;
  }
  void erase(Address from, Address to) {
    bytes_.erase(bytes_.lower_bound(from), bytes_.lower_bound(to));
  }
  /// A call at site, direct (E8) or through the slot importSlot (FF 15); returns the
  /// return address.
  Address call(Address site, Address target, Address importSlot = 0) {
    if (importSlot == 0) return put(site, 0xE8), put32(site + 1, target - (site + 5)), site + 5;
    put(site, 0xFF), put(site + 1, 0x15), put32(site + 2, importSlot), put32(importSlot, target);
    return site + 6;
  }

  std::vector<Module> modules = {{0x400000, 0x10000, 0x401000, 0x402000},
                                 {0x10000000, 0x10000, 0x10001000, 0x10002000}};
  std::optional<StackRange> stack = StackRange{0x12E000, 0x130000};

 private:
  std::map<uint64_t, uint8_t> bytes_;
};

// Routines of the app: main calls f, f calls g, g (built without a frame pointer) calls
// h, which faults; k is not on the stack but a stale return address from calling it is.
constexpr Address kMain = 0x401000, kF = 0x401100, kG = 0x401200, kH = 0x401300, kK = 0x401400;

/// The crash, with the stack as those routines leave it; the DLL starts main through an
/// import slot. h's frame lies on the stack's second page, f's and main's on its last.
struct Crash {
  ScriptedMemory m;
  Address fpH = 0x12EF00, fpF = 0x12F040, fpMain = 0x12F100;
  WalkContext context{kH + 0x50, 0x12EEF0, fpH};
  Address retDll, retMain, retF, retG, retStale;

  Crash() {
    m.zero(0x400000, 0x403000), m.zero(0x10000000, 0x10004000), m.zero(0x12E000, 0x130000);
    retDll = m.call(0x10001040, kMain, 0x10003000);
    retMain = m.call(kMain + 0x10, kF);
    retF = m.call(kF + 0x20, kG);
    retG = m.call(kG + 0x30, kH);
    retStale = m.call(kMain + 0x50, kK);
    m.put32(context.esp + 8, retStale);
    m.put32(fpH, fpF);  // g keeps no frame pointer: h saved f's
    m.put32(fpH + 4, retG);
    m.put32(fpH + 0x10, retF);  // g's return address, passed over by the chain
    m.put32(fpF, fpMain), m.put32(fpF + 4, retMain);
    m.put32(fpMain, 0), m.put32(fpMain + 4, retDll);  // the chain's end
  }
  std::vector<StackEntry> walk() { return StackWalker(m).walk(context, 64); }
};

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

using F = FoundBy;

TEST(StackWalker, FollowsTheChainAndConfirmsTheFrameItPassesOver) {
  Crash c;
  c.m.put32(c.fpMain + 8, c.retF);  // stale above the DLL's frame
  std::vector<StackEntry> expected = {
      {kH + 0x50, c.context.esp, F::Context},
      {c.retStale, c.context.esp + 8, F::Scan},  // calls k, which lies above h
      {c.retG, c.fpH + 4, F::Frame},
      {c.retF, c.fpH + 0x10, F::Call},
      {c.retMain, c.fpF + 4, F::Frame},
      {c.retDll, c.fpMain + 4, F::Frame},
      {c.retF, c.fpMain + 8, F::Scan},  // calls g: not the DLL routine's caller
  };
  EXPECT_EQ(describe(c.walk()), describe(expected));
  EXPECT_EQ(StackWalker(c.m).walk(c.context, 3),
            std::vector(expected.begin(), expected.begin() + 3));
  // EBP reused inside h: the scan confirms h's caller and finds the chain again there.
  c.context.ebp = 0x12345678;
  expected[2].foundBy = F::Call;
  EXPECT_EQ(describe(c.walk()), describe(expected));
}

TEST(StackWalker, AHitTheFrameAboveDoesNotCallStaysScan) {
  // Between f's frame and the return address into f, a stale return address into main
  // whose call targets main itself: it fits the entry below, but f's caller calls f,
  // which starts above it.
  Crash c;
  const Address stale = c.m.call(kMain + 0x60, kMain);
  c.m.put32(c.fpH + 0x20, stale);
  const auto entries = c.walk();
  ASSERT_EQ(entries.size(), 7u) << describe(entries);
  EXPECT_EQ(entries[3], (StackEntry{c.retF, c.fpH + 0x10, F::Call})) << describe(entries);
  EXPECT_EQ(entries[4], (StackEntry{stale, c.fpH + 0x20, F::Scan})) << describe(entries);
  EXPECT_EQ(entries[5], (StackEntry{c.retMain, c.fpF + 4, F::Frame}));
}

TEST(StackWalker, ACallWhoseTargetIsUnknownKeepsTheCallsBelowIt) {
  // main calls f, f calls g through a pointer the memory does not hold (a dump without the
  // process's data), g calls h, which faults. g lies below f: judged against f's caller,
  // g's return address would not fit, but f's unreadable call is the link between them.
  ScriptedMemory m;
  m.zero(0x400000, 0x403000), m.zero(0x12E000, 0x130000);
  constexpr Address kRoutineG = 0x401050, kRoutineH = 0x401100, kRoutineF = 0x401400;
  const Address retMain = m.call(kMain + 0x10, kRoutineF);
  const Address retF = m.call(kRoutineF + 0x20, kRoutineG, 0x403000);
  m.erase(0x403000, 0x403004);
  const Address retG = m.call(kRoutineG + 0x30, kRoutineH);
  const WalkContext context{kRoutineH + 0x50, 0x12EEF0, 0x12F040};
  m.put32(context.esp + 0x10, retG), m.put32(context.esp + 0x20, retF);
  m.put32(context.ebp, 0), m.put32(context.ebp + 4, retMain);
  const std::vector<StackEntry> expected = {
      {context.eip, context.esp, F::Context},
      {retG, context.esp + 0x10, F::Call},
      {retF, context.esp + 0x20, F::Scan},
      {retMain, context.ebp + 4, F::Frame},
  };
  EXPECT_EQ(describe(StackWalker(m).walk(context, 64)), describe(expected));
}

TEST(StackWalker, ACallThroughAnImportThunkConfirmsTheRoutineInTheDll) {
  // main calls the DLL's routine d the way most linkers do: a direct call of a thunk that
  // jumps through the import slot. d faults.
  ScriptedMemory m;
  m.zero(0x400000, 0x403000), m.zero(0x10000000, 0x10004000), m.zero(0x12E000, 0x130000);
  constexpr Address kThunk = 0x401800, kSlot = 0x402000, kRoutineD = 0x10001100;
  m.put(kThunk, 0xFF), m.put(kThunk + 1, 0x25), m.put32(kThunk + 2, kSlot);
  m.put32(kSlot, kRoutineD);
  const Address retMain = m.call(kMain + 0x10, kThunk);
  const WalkContext context{kRoutineD + 0x20, 0x12EEF0, 0x12345678};
  m.put32(context.esp + 0x10, retMain);
  const std::vector<StackEntry> expected = {{context.eip, context.esp, F::Context},
                                            {retMain, context.esp + 0x10, F::Call}};
  EXPECT_EQ(describe(StackWalker(m).walk(context, 64)), describe(expected));
}

TEST(StackWalker, BrokenChainsEndCleanlyAndTrustNothingBeyondTheBreak) {
  {  // f's frame points back down to h's: f's return address is left to the scan
    Crash c;
    c.m.put32(c.fpF, c.fpH);
    const auto entries = c.walk();
    ASSERT_EQ(entries.size(), 6u) << describe(entries);
    EXPECT_EQ(entries[2].foundBy, F::Frame);
    EXPECT_EQ(entries[4], (StackEntry{c.retMain, c.fpF + 4, F::Call}));
    // Confirmed through the import slot of the DLL's call.
    EXPECT_EQ(entries[5], (StackEntry{c.retDll, c.fpMain + 4, F::Call}));
  }
  {  // f's frame leads off the stack, to memory that holds a plausible frame
    Crash c;
    c.m.put32(c.fpF, 0x200000), c.m.put32(0x200000, 0), c.m.put32(0x200004, c.retStale);
    c.m.put32(c.fpMain + 4, 0);
    const auto entries = c.walk();
    ASSERT_EQ(entries.size(), 5u) << describe(entries);
    EXPECT_EQ(entries.back(), (StackEntry{c.retMain, c.fpF + 4, F::Call}));
  }
  {  // h's return address behind call bytes, but in the module's data
    Crash c;
    const Address data = c.m.call(0x402100, kG);
    c.m.put32(c.fpH + 4, data), c.m.put32(c.fpH + 0x10, 0);
    const auto entries = c.walk();
    for (const StackEntry& e : entries) EXPECT_NE(e.address, data) << describe(entries);
    EXPECT_EQ(entries.back(), (StackEntry{c.retDll, c.fpMain + 4, F::Frame}));
  }
  {  // the page holding f's and main's frames cannot be read
    Crash c;
    c.m.erase(0x12F000, 0x130000);
    const auto entries = c.walk();
    ASSERT_EQ(entries.size(), 4u) << describe(entries);
    EXPECT_EQ(entries.back(), (StackEntry{c.retF, c.fpH + 0x10, F::Call}));
  }
}

TEST(StackWalker, MergedListKeepsEveryRawScanHitAndAddsTheFramesItLacks) {
  Crash c;
  // Above main's frame a word into the app's data behind call bytes, which only the raw
  // scan takes; f recursing once, its frame's return address right above a stale copy.
  const Address data = c.m.call(0x402100, kG), recursion = c.m.call(kF + 0x60, kF);
  const Address fpF2 = c.fpF + 0x20;
  c.m.put32(c.fpMain - 8, data);
  c.m.put32(c.fpF, fpF2), c.m.put32(fpF2, c.fpMain), c.m.put32(fpF2 + 4, c.retMain);
  c.m.put32(c.fpF + 4, recursion), c.m.put32(c.fpF - 4, recursion);
  StackWalker walker(c.m);
  const std::vector<StackEntry> expected = {
      {kH + 0x50, c.context.esp, F::Context},
      {c.retStale, c.context.esp + 8, F::Scan},
      {c.retG, c.fpH + 4, F::Frame},
      {c.retF, c.fpH + 0x10, F::Call},
      // f starts below the entry below: the rule cannot tell this stale copy.
      {recursion, c.fpF - 4, F::Call},
      {recursion, c.fpF + 4, F::Frame},  // a direct repeat, not in the raw scan
      {c.retMain, fpF2 + 4, F::Frame},
      {data, c.fpMain - 8, F::Scan},
      {c.retDll, c.fpMain + 4, F::Frame},
  };
  EXPECT_EQ(describe(walker.merged(c.context, 64)), describe(expected));
  std::vector<StackEntry> raw = expected;
  raw.erase(raw.begin() + 5), raw.erase(raw.begin());
  for (StackEntry& e : raw) e.foundBy = F::Scan;
  EXPECT_EQ(describe(walker.rawScan(c.context.esp, 64)), describe(raw));
}

TEST(StackWalker, RandomImagesEndWithEveryEntryInCode) {
  std::mt19937 random(14);
  auto pick = [&](Address low, Address high) { return low + Address(random() % (high - low)); };
  for (int round = 0; round < 50; ++round) {
    Crash c;
    auto value = [&] {
      const Address bases[] = {0x401000, 0x10001000, 0x12E000, 0x402000};
      const Address base = bases[random() % 4];
      return pick(0, 16) == 0 ? 0 : pick(base, base + 0x1000);
    };
    for (int i = 0; i < 300; ++i) c.m.put32(pick(0x401000, 0x402000), value());
    for (int i = 0; i < 300; ++i) c.m.put(pick(0x401000, 0x402000), 0xE8);
    for (int i = 0; i < 600; ++i) c.m.put32(pick(0x12E000, 0x12FFFC) & ~3u, value());
    if (round % 3 == 0) c.m.erase(0x12F000, 0x12F800);
    c.context = {pick(0x401000, 0x402000), pick(0x12E000, 0x130000) & ~3u, value()};
    const uint32_t bound = pick(1, 40);
    StackWalker walker(c.m);
    const auto entries = walker.walk(c.context, bound);
    ASSERT_LE(entries.size(), bound);
    for (size_t i = 1; i < entries.size(); ++i) {
      ASSERT_GT(entries[i].position, entries[i - 1].position) << describe(entries);
      const auto module = c.m.moduleAt(entries[i].address);
      ASSERT_TRUE(module && module->executable) << describe(entries);
    }
    ASSERT_LE(walker.merged(c.context, bound).size(), 2u * bound);
  }
}

}  // namespace
}  // namespace ostrel
