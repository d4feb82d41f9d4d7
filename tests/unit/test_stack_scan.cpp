#include "engine/stack_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>

#include "fake_platform.h"

namespace ostrel {
namespace {

constexpr Handle kProcess = 0x100;
constexpr Address kAppBase = 0x400000;  // module, 64 KiB
constexpr uint32_t kAppSize = 0x10000;
constexpr Address kDllBase = 0x10000000;  // module, 16 KiB
constexpr uint32_t kDllSize = 0x4000;
constexpr Address kHeapBase = 0x600000;  // committed, not a module
constexpr Address kStackLower = 0x12E000;
constexpr Address kStackUpper = 0x130000;  // 2048 words

/// The fake with counters of region queries and module enumerations, and a switch that
/// makes those calls throw.
class CountingPlatform : public fake::FakePlatform {
 public:
  int queries = 0;
  int enumerations = 0;
  bool throwOnQuery = false;
  bool throwOnEnumerate = false;
  bool strayRuns = false;  // every other answer names a run that misses its address

  std::optional<MemoryRegion> queryRegion(Handle process, Address address) override {
    ++queries;
    if (throwOnQuery) throw std::runtime_error("query failed");
    auto region = FakePlatform::queryRegion(process, address);
    if (region && strayRuns && queries % 2 == 0) {
      region->regionBase = address + 0x1000;
      region->regionSize = queries % 4 == 0 ? 0x10000 : 0;
    }
    return region;
  }
  std::optional<std::vector<Address>> enumProcessModules(Handle process) override {
    ++enumerations;
    if (throwOnEnumerate) throw std::runtime_error("enumeration failed");
    return FakePlatform::enumProcessModules(process);
  }
};

class StackScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    addModule(kAppBase, kAppSize, "C:\\app\\app.exe");
    addModule(kDllBase, kDllSize, "C:\\windows\\system32\\dll.dll");
    p.addRegion(kProcess, {kHeapBase, 0x10000, kHeapBase, kMemCommit});
    p.poke(kProcess, kHeapBase, std::vector<uint8_t>(0x10000).data(), 0x10000);
    p.addRegion(kProcess, {kStackLower, kStackUpper - kStackLower, 0x30000, kMemCommit});
    p.poke(kProcess, kStackLower, std::vector<uint8_t>(kStackUpper - kStackLower).data(),
           kStackUpper - kStackLower);
  }

  /// A readable, committed, zero-filled module image.
  void addModule(Address base, uint32_t size, const std::string& path) {
    p.addRegion(kProcess, {base, size, base, kMemCommit});
    p.poke(kProcess, base, std::vector<uint8_t>(size).data(), size);
    p.addModule(kProcess, base, path);
  }

  /// Gives the module a PE header naming its image size.
  void addHeader(Address base, uint32_t size) {
    p.poke32(kProcess, base + 0x3C, 0x80);
    p.poke32(kProcess, base + 0x80 + 0x50, size);
  }

  /// Puts a 5-byte direct call at `at`; returns its return address.
  Address directCall(Address at) {
    const uint8_t call[5] = {0xE8, 0x11, 0x22, 0x33, 0x44};
    p.poke(kProcess, at, call, sizeof call);
    return at + 5;
  }

  /// Writes words onto the stack from `at` upward.
  void pushWords(Address at, const std::vector<uint32_t>& words) {
    for (uint32_t w : words) {
      p.poke32(kProcess, at, w);
      at += 4;
    }
  }

  TCallStack scan(Address start, int32_t depth, int32_t* count, Address upper = kStackUpper,
                  Address lower = kStackLower) {
    TCallStack stack;
    *count = storeRawStack(p, stack, start, depth, kProcess, upper, lower);
    return stack;
  }

  static std::vector<uint32_t> head(const TCallStack& stack, int32_t count) {
    return {stack.begin(), stack.begin() + std::max(count, 0)};
  }

  CountingPlatform p;
};

// --- the call-site test -----------------------------------------------------------------

TEST_F(StackScanTest, EachCallFormIsAcceptedAndItsNearMissesAreNot) {
  struct Case {
    const char* name;
    std::vector<uint8_t> before;  // the bytes ending at the candidate
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"E8 rel32", {0xE8, 1, 2, 3, 4}, true},
      {"call eax (FF D0)", {0xFF, 0xD0}, true},
      {"call [eax] (FF 10)", {0xFF, 0x10}, true},
      {"call [esp+disp8] 3 bytes", {0xFF, 0x54, 0x24}, true},
      {"call [ebp+disp8] 3 bytes", {0xFF, 0x55, 0x08}, true},
      {"call [eax+disp8+sib] 4 bytes", {0xFF, 0x54, 0x24, 0x08}, true},
      {"call [disp32] 6 bytes", {0xFF, 0x15, 0x00, 0x10, 0x40, 0x00}, true},
      {"call [esp+disp32] 7 bytes", {0xFF, 0x94, 0x24, 0x00, 0x01, 0x00, 0x00}, true},
      {"ret", {0xC3}, true},
      {"E8 one byte too far", {0xE8, 1, 2, 3, 4, 5}, false},
      {"E8 one byte too near", {0xE8, 1, 2, 3}, false},
      {"jmp eax (FF E0, reg 4)", {0xFF, 0xE0}, false},
      {"push [eax] (FF 30, reg 6)", {0xFF, 0x30}, false},
      {"far call (FF 18, reg 3)", {0xFF, 0x18}, false},
      {"FF /2 5 bytes before", {0xFF, 0x15, 0, 0, 0}, false},
      {"FF /2 8 bytes before", {0xFF, 0x15, 0, 0, 0, 0, 0, 0}, false},
      {"ret imm16 (C2)", {0xC2, 0x08, 0x00}, false},
      {"C3 two bytes before", {0xC3, 0x90}, false},
      {"nothing", {}, false},
  };
  Address c = kAppBase + 0x1010;
  for (const Case& k : cases) {
    p.poke(kProcess, c - k.before.size(), k.before.data(), k.before.size());
    EXPECT_EQ(validCallSite(p, c, kProcess), k.accepted) << k.name;
    c += 0x20;  // fresh zero bytes for the next case
  }
}

TEST_F(StackScanTest, CallBytesCountOnlyInsideALoadedCommittedModule) {
  const uint8_t call[5] = {0xE8, 1, 2, 3, 4};
  // Committed but not a module.
  p.poke(kProcess, kHeapBase + 0x100, call, 5);
  EXPECT_FALSE(validCallSite(p, kHeapBase + 0x105, kProcess));
  // Reserved pages of a module's allocation.
  p.addRegion(kProcess, {0x700000, 0x1000, 0x700000, 0x2000});
  p.poke(kProcess, 0x700100, call, 5);
  p.addModule(kProcess, 0x700000, "C:\\reserved.dll");
  EXPECT_FALSE(validCallSite(p, 0x700105, kProcess));
  // Unknown memory.
  p.poke(kProcess, 0x900100, call, 5);
  EXPECT_FALSE(validCallSite(p, 0x900105, kProcess));
  // A module whose code bytes cannot be read.
  const Address c = directCall(kAppBase + 0x2000);
  EXPECT_TRUE(validCallSite(p, c, kProcess));
  p.unmap(kProcess, c - 8, 1);
  EXPECT_FALSE(validCallSite(p, c, kProcess));
  // A process whose module list cannot be enumerated.
  EXPECT_FALSE(validCallSite(p, c, 0x999));
}

TEST_F(StackScanTest, CandidatesOfEightOrLessAreRejectedWithoutTouchingTheDebuggee) {
  p.addRegion(kProcess, {0, 0x1000, 0, kMemCommit});
  p.addModule(kProcess, 0, "C:\\zero.dll");
  p.poke(kProcess, 0, std::vector<uint8_t>(0x10, 0xC3).data(), 0x10);
  for (Address c = 0; c <= 8; ++c) EXPECT_FALSE(validCallSite(p, c, kProcess)) << c;
  EXPECT_EQ(p.queries, 0);
  EXPECT_EQ(p.enumerations, 0);
  EXPECT_EQ(p.readCalls, 0);
  validCallSite(p, 9, kProcess);
  EXPECT_EQ(p.queries, 1);
}

TEST_F(StackScanTest, ModuleHelpers) {
  EXPECT_EQ(moduleFromAddress(p, kProcess, kAppBase + 0x1234), kAppBase);
  EXPECT_EQ(moduleFromAddress(p, kProcess, kHeapBase + 4), kHeapBase);
  EXPECT_EQ(moduleFromAddress(p, kProcess, 0x900000), 0u);
  p.addRegion(kProcess, {0x700000, 0x1000, 0x700000, 0x2000});
  EXPECT_EQ(moduleFromAddress(p, kProcess, 0x700010), 0u);

  EXPECT_TRUE(IsSystemModule(p, kAppBase, kProcess));
  EXPECT_TRUE(IsSystemModule(p, kDllBase, kProcess));
  EXPECT_FALSE(IsSystemModule(p, kHeapBase, kProcess));
  EXPECT_FALSE(IsSystemModule(p, 0, kProcess));
  EXPECT_FALSE(IsSystemModule(p, kAppBase, 0));
  EXPECT_FALSE(IsSystemModule(p, kAppBase, 0x999));  // enumeration fails
}

TEST_F(StackScanTest, EachStepRaisesItsOwnFixedText) {
  auto textOf = [](auto&& call) -> std::string {
    try {
      call();
    } catch (const StackScanError& e) {
      return e.what();
    }
    return "no error";
  };
  p.throwOnQuery = true;
  EXPECT_EQ(textOf([&] { moduleFromAddress(p, kProcess, kAppBase); }),
            "Error occurred in function moduleFromAddress, while storeRawStack");
  EXPECT_EQ(textOf([&] { validCallSite(p, kAppBase + 0x10, kProcess); }),
            "Error occurred in function validCallSite, while storeRawStack");
  p.throwOnQuery = false;
  p.throwOnEnumerate = true;
  EXPECT_EQ(textOf([&] { IsSystemModule(p, kAppBase, kProcess); }),
            "Error occurred in function IsSystemModule, while storeRawStack");

  pushWords(kStackLower, {kAppBase + 0x10});
  TCallStack stack(16);
  EXPECT_EQ(textOf([&] {
              fillRawStack(p, stack, kStackLower, -1, kProcess, kStackUpper, kStackLower);
            }),
            "Error occurred in function fillRawStack, while store Stack values");
  // storeRawStack swallows it: an empty stack.
  int32_t count = 0;
  EXPECT_TRUE(scan(kStackLower, -1, &count).empty());
  EXPECT_EQ(count, -1);
}

// --- the scan ---------------------------------------------------------------------------

TEST_F(StackScanTest, DepthBoundsTheEntriesToDepthPlusOne) {
  std::vector<uint32_t> frames;
  for (int i = 0; i < 100; ++i) {
    frames.push_back(directCall(kAppBase + 0x1000 + 0x10 * i));
    frames.push_back(0x12345);  // a local between frames
  }
  pushWords(kStackLower + 0x100, frames);

  int32_t count = 0;
  TCallStack stack = scan(kStackLower, 32, &count);
  ASSERT_EQ(count, 33);
  EXPECT_EQ(stack.size(), (kStackUpper - kStackLower) / 4);
  for (int i = 0; i < 33; ++i) EXPECT_EQ(stack[i], frames[2 * i]) << i;
  EXPECT_EQ(stack[33], 0u);

  scan(kStackLower, 0, &count);
  EXPECT_EQ(count, 1);
  scan(kStackLower, -1, &count);
  EXPECT_EQ(count, 100);
  scan(kStackLower, -2, &count);  // any other negative depth stores nothing
  EXPECT_EQ(count, 0);
}

TEST_F(StackScanTest, CountIsBoundedByTheRangeSize) {
  std::vector<uint32_t> frames;
  for (int i = 0; i < 8; ++i) frames.push_back(directCall(kAppBase + 0x1000 + 0x10 * i));
  pushWords(kStackLower, frames);
  // A range of 16 bytes holds at most 4 entries, even when the scan starts below it.
  int32_t count = 0;
  TCallStack stack = scan(kStackLower, -1, &count, kStackLower + 0x20, kStackLower + 0x10);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(head(stack, count), std::vector<uint32_t>(frames.begin(), frames.begin() + 4));
}

TEST_F(StackScanTest, OnlyARepeatOfTheLastStoredValueIsDropped) {
  const Address a = directCall(kAppBase + 0x1000);
  const Address b = directCall(kAppBase + 0x1100);
  pushWords(kStackLower, {a, a, 0x777, kHeapBase + 0x10, a, b, a, b, b});
  int32_t count = 0;
  TCallStack stack = scan(kStackLower, -1, &count);
  EXPECT_EQ(head(stack, count), (std::vector<uint32_t>{a, b, a, b}));
}

TEST_F(StackScanTest, NonModuleWordsAreNeverTaken) {
  const uint8_t call[5] = {0xE8, 1, 2, 3, 4};
  p.poke(kProcess, kHeapBase + 0x100, call, 5);
  const Address good = directCall(kDllBase + 0x1000);
  pushWords(kStackLower, {kHeapBase + 0x105, 0x900105, good, kStackLower + 0x10});
  int32_t count = 0;
  TCallStack stack = scan(kStackLower, -1, &count);
  EXPECT_EQ(head(stack, count), std::vector<uint32_t>{good});
}

TEST_F(StackScanTest, UnreadableWordsAreSkippedOneByOne) {
  const Address a = directCall(kAppBase + 0x1000);
  const Address b = directCall(kAppBase + 0x1100);
  const Address c = directCall(kAppBase + 0x1200);
  // a, hole, b right after the hole, a whole unreadable page, c just past it.
  pushWords(kStackLower, {a, 0, b});
  p.unmap(kProcess, kStackLower + 4, 4);
  pushWords(kStackLower + 0x1000 - 4, {a});
  p.unmap(kProcess, kStackLower + 0x1000, 0x1000);
  pushWords(kStackLower + 0x2000, {c});
  const Address upper = kStackLower + 0x3000;
  p.poke32(kProcess, upper - 4, b);
  int32_t count = 0;
  TCallStack stack = scan(kStackLower, -1, &count, upper, kStackLower);
  EXPECT_EQ(head(stack, count), (std::vector<uint32_t>{a, b, a, c, b}));
}

TEST_F(StackScanTest, BadRangesGiveAnEmptyResult) {
  pushWords(kStackLower, {directCall(kAppBase + 0x1000)});
  int32_t count = 0;
  EXPECT_TRUE(scan(kStackLower, -1, &count, kStackLower, kStackUpper).empty());
  EXPECT_EQ(count, -1);
  // A start at or above the upper end scans nothing.
  scan(kStackUpper, -1, &count);
  EXPECT_EQ(count, 0);
  // An empty range stores nothing.
  scan(kStackLower, -1, &count, kStackLower, kStackLower);
  EXPECT_EQ(count, 0);
}

TEST_F(StackScanTest, ARangeEndingAtTheTopOfTheAddressSpaceEnds) {
  const Address a = directCall(kAppBase + 0x1000);
  p.addRegion(kProcess, {0xFFFFF000, 0x1000, 0xFFFFF000, kMemCommit});
  pushWords(0xFFFFFFF0, {0, a, 0, a});
  int32_t count = 0;
  TCallStack stack = scan(0xFFFFFFF0, -1, &count, 0xFFFFFFFF, 0xFFFFF000);
  EXPECT_EQ(head(stack, count), (std::vector<uint32_t>{a}));
}

TEST_F(StackScanTest, TheModuleListIsTakenOncePerScan) {
  addHeader(kAppBase, kAppSize);
  addHeader(kDllBase, kDllSize);
  std::vector<uint32_t> words;
  for (int i = 0; i < 200; ++i) {
    words.push_back(directCall(kAppBase + 0x1000 + 0x10 * i));
    words.push_back(kStackLower + 0x10 * i);  // saved frame pointers
    words.push_back(0x2000000 + 0x1000 * i);   // pointers to 200 different pages
  }
  pushWords(kStackLower, words);
  int32_t count = 0;
  TCallStack stack = scan(kStackLower, -1, &count);
  EXPECT_EQ(count, 200);
  EXPECT_EQ(stack[199], words[3 * 199]);
  EXPECT_EQ(p.enumerations, 1);
  // The stack's own allocation and, after a few pages, the image extents learnt from the
  // headers answer the other words without a query each.
  EXPECT_LT(p.queries, 40);
}

// --- chunked reads against word-by-word reads -----------------------------------------

/// The scan as plainly stated: one word read and one full call-site test per address.
int32_t wordByWordScan(DebugPlatform& platform, TCallStack& stack, Address start, int32_t depth,
                       Address upper, Address lower) {
  const uint64_t limit = (upper - lower) / 4;
  stack.assign(limit, 0);
  uint64_t count = 0;
  uint32_t previous = 0;
  for (uint64_t p = start; p < upper; p += 4) {
    if (count >= limit || (depth != -1 && int64_t(count) > depth)) break;
    uint32_t w = 0, got = 0;
    if (!platform.readMemory(kProcess, Address(p), &w, 4, &got) || got != 4) continue;
    if (!validCallSite(platform, w, kProcess) || w == previous) continue;
    stack[count++] = w;
    previous = w;
  }
  return int32_t(count);
}

TEST_F(StackScanTest, ChunkedScanEqualsWordByWordScanOnRandomMemory) {
  constexpr Address kUpper = 0x150000, kLower = 0x120000;  // 192 KiB: several chunk sizes
  p.addRegion(kProcess, {kLower, kUpper - kLower, kLower, kMemCommit});
  std::mt19937 rng(20240611);
  auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
  const uint8_t interesting[] = {0xE8, 0xFF, 0xC3, 0x10, 0xD0, 0x15, 0x54, 0x94, 0x18};

  for (int round = 0; round < 8; ++round) {
    // Code bytes: mostly call-like, some unreadable.
    for (Address base : {kAppBase, kDllBase}) {
      const uint32_t size = base == kAppBase ? kAppSize : kDllSize;
      std::vector<uint8_t> code(size);
      for (auto& b : code) b = pick(3) ? interesting[pick(sizeof interesting)] : uint8_t(rng());
      p.poke(kProcess, base, code.data(), size);
      for (int i = 0; i < 20; ++i) p.unmap(kProcess, base + pick(size), 1 + pick(64));
      if (round % 2 == 0) addHeader(base, size);  // both ways of rejecting non-modules
    }
    // Stack words: return-address candidates, other pointers, small and random values.
    std::vector<uint32_t> words((kUpper - kLower) / 4);
    for (auto& w : words) {
      switch (pick(6)) {
        case 0: case 1: w = kAppBase + pick(kAppSize); break;
        case 2: w = kDllBase + pick(kDllSize); break;
        case 3: w = kHeapBase + pick(0x10000); break;
        case 4: w = pick(16); break;
        default: w = rng(); break;
      }
      if (pick(8) == 0 && &w != &words.front()) w = *(&w - 1);  // adjacent repeats
    }
    p.poke(kProcess, kLower, words.data(), words.size() * 4);
    // Holes: single words, runs across chunk and page ends, a whole page.
    for (int i = 0; i < 30; ++i) p.unmap(kProcess, kLower + pick(kUpper - kLower), 1 + pick(12));
    p.unmap(kProcess, kLower + 0x10000 - 8, 16);
    if (round % 3 == 0) p.unmap(kProcess, kLower + 0x1000 * (1 + pick(40)), 0x1000);

    const int32_t depths[] = {-1, -1, 0, 5, 32, 4000};
    const int32_t depth = depths[round % 6];
    const Address start = kLower + pick(0x100) * 4 + (round == 5 ? 2 : 0);  // one unaligned
    const Address upper = kUpper - pick(8);  // a last word that may straddle the end

    TCallStack expected, actual;
    const int32_t want = wordByWordScan(p, expected, start, depth, upper, kLower);
    const int32_t got = storeRawStack(p, actual, start, depth, kProcess, upper, kLower);
    ASSERT_EQ(got, want) << "round " << round;
    ASSERT_EQ(actual, expected) << "round " << round;
    if (depth == -1) {
      EXPECT_GT(got, 100) << "round " << round;  // the data is not trivial
    }
  }
}

TEST_F(StackScanTest, SplitModulesOverlapsAndStrayAnswersGiveTheWordByWordResult) {
  // A module in several runs: header, code, a reserved gap, data; then a region listed
  // later that the module's runs partly hide and that reaches past the module.
  constexpr Address kBase = 0x20000000;
  p.addRegion(kProcess, {kBase, 0x1000, kBase, kMemCommit});
  p.addRegion(kProcess, {kBase + 0x1000, 0x6000, kBase, kMemCommit});
  p.addRegion(kProcess, {kBase + 0x7000, 0x1000, kBase, 0x2000});
  p.addRegion(kProcess, {kBase + 0x8000, 0x8000, kBase, kMemCommit});
  p.addRegion(kProcess, {kBase + 0x4000, 0x20000, 0x1F000000, kMemCommit});
  p.addModule(kProcess, kBase, "C:\\split.dll");
  p.addModule(kProcess, 0x1F000000, "C:\\under.dll");
  std::mt19937 rng(7);
  std::vector<uint8_t> code(0x24000);
  const uint8_t callish[] = {0xE8, 0xFF, 0xC3, 0x10, 0xD0, 0x15};
  for (auto& b : code) b = callish[rng() % sizeof callish];
  p.poke(kProcess, kBase, code.data(), code.size());
  p.unmap(kProcess, kBase + 0x9000, 0x20);

  // Candidates around every run's ends, where the bytes before straddle two runs.
  std::vector<uint32_t> words;
  for (Address edge : {kBase, kBase + 0x1000, kBase + 0x4000, kBase + 0x7000, kBase + 0x8000,
                       kBase + 0x9020, kBase + 0x10000, kBase + 0x24000})
    for (uint32_t d = 0; d < 12; ++d) words.push_back(edge + d), words.push_back(0x100);
  for (int i = 0; i < 600; ++i) words.push_back(kBase + rng() % 0x26000);
  pushWords(kStackLower, words);

  for (bool stray : {false, true}) {
    p.strayRuns = stray;
    TCallStack expected, actual;
    const int32_t want = wordByWordScan(p, expected, kStackLower, -1, kStackUpper, kStackLower);
    const int32_t got =
        storeRawStack(p, actual, kStackLower, -1, kProcess, kStackUpper, kStackLower);
    EXPECT_GT(want, 100);
    ASSERT_EQ(got, want) << "stray " << stray;
    ASSERT_EQ(actual, expected) << "stray " << stray;
  }
}

TEST_F(StackScanTest, OneQueryAnswersAWholeRegion) {
  // Return addresses on all 16 pages of the application's one region.
  std::vector<uint32_t> words;
  for (int i = 0; i < 300; ++i) {
    words.push_back(directCall(kAppBase + 0xD0 * i + 0x10));
    words.push_back(kStackLower + 4 * i);
  }
  pushWords(kStackLower, words);
  int32_t count = 0;
  TCallStack stack = scan(kStackLower, -1, &count);
  EXPECT_EQ(count, 300);
  EXPECT_EQ(p.queries, 2);    // the stack's region and the application's
  EXPECT_EQ(p.readCalls, 2);  // the stack at once, then the code bytes of the region
}

TEST_F(StackScanTest, FindingModulesNeverBuysTheImageExtents) {
  // 40 one-page runs of one module, each asked about once. Only queries that find no
  // module count towards learning the image extents, so none of those reads happen.
  constexpr Address kBase = 0x30000000;
  for (Address page = 0; page < 40; ++page)
    p.addRegion(kProcess, {kBase + page * 0x1000, 0x1000, kBase, kMemCommit});
  p.poke(kProcess, kBase, std::vector<uint8_t>(40 * 0x1000).data(), 40 * 0x1000);
  p.addModule(kProcess, kBase, "C:\\runs.dll");
  addHeader(kBase, 40 * 0x1000);
  std::vector<uint32_t> words;
  for (Address page = 0; page < 40; ++page) words.push_back(directCall(kBase + page * 0x1000 + 8));
  pushWords(kStackLower, words);
  int32_t count = 0;
  scan(kStackLower, -1, &count);
  EXPECT_EQ(count, 40);
  EXPECT_EQ(p.queries, 41);
}

TEST_F(StackScanTest, ARecurringCandidateWithUnreadableBytesIsReadOnce) {
  // The module's base: the bytes before it lie outside every region and cannot be read.
  const Address good = directCall(kAppBase + 0x1000);
  std::vector<uint32_t> words;
  for (int i = 0; i < 100; ++i) words.push_back(i % 2 ? good : kAppBase);
  pushWords(kStackLower, words);
  int32_t count = 0;
  TCallStack stack = scan(kStackLower, -1, &count);
  EXPECT_EQ(count, 1);
  EXPECT_LE(p.readCalls, 5);
}

TEST_F(StackScanTest, SlotsPastTheCountAreZeroOrTheCallersOwn) {
  // A stack full of non-zero words: the stored scan reads them into its own array and
  // must not leave any of them behind; a direct fill keeps what the caller had there.
  std::vector<uint32_t> words((kStackUpper - kStackLower) / 4);
  for (size_t i = 0; i < words.size(); ++i)
    words[i] = i % 7 == 0 ? directCall(kAppBase + 0x1000 + 0x10 * (i % 64)) : 0x5A5A0000 + i;
  pushWords(kStackLower, words);
  p.unmap(kProcess, kStackLower + 0x1000, 0x10);
  for (int32_t depth : {-1, 5}) {
    int32_t count = 0;
    TCallStack stack = scan(kStackLower + 8, depth, &count);
    ASSERT_GT(count, 0);
    EXPECT_EQ(std::count(stack.begin() + count, stack.end(), 0u),
              std::ptrdiff_t(stack.size()) - count)
        << depth;
  }
  TCallStack own(words.size(), 0xABCDEF01u);
  const int32_t count =
      fillRawStack(p, own, kStackLower + 8, 5, kProcess, kStackUpper, kStackLower);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(own[6], 0xABCDEF01u);
  EXPECT_EQ(own.back(), 0xABCDEF01u);
}

// --- range choice -----------------------------------------------------------------------

TEST(ScanRangeTest, OverflowUsesEarlierSnapshotsOtherwiseTheWalk) {
  StackInfoBlock start{}, exception{}, walk{};
  start.StackLimit = 0x1000;
  start.StackBase = 0x2000;
  exception.StackLimit = 0x3000;
  exception.StackBase = 0x4000;
  walk.StackLimit = 0x5000;
  walk.StackBase = 0x6000;
  auto range = [&](bool overflow, bool failed, bool walkOk) {
    ScanRange r = chooseScanRange(overflow, failed, walkOk, start, exception, walk, 0x5800);
    return std::vector<Address>{r.start, r.upper, r.lower};
  };
  using V = std::vector<Address>;
  EXPECT_EQ(range(true, true, true), (V{0x1000, 0x2000, 0x1000}));
  EXPECT_EQ(range(true, false, true), (V{0x3000, 0x4000, 0x3000}));
  EXPECT_EQ(range(false, true, true), (V{0x5800, 0x6000, 0x5000}));
  EXPECT_EQ(range(false, false, false), (V{0x1000, 0x2000, 0x1000}));
}

// --- publishing -------------------------------------------------------------------------

std::string fakeModuleName(Address a) {
  return a >= kDllBase ? "C:\\windows\\system32\\dll.dll" : "C:\\app\\app.exe";
}

TEST(PublishTest, FirstChanceFromIndexOneFillsSlotsBelowDepth) {
  TCallStack stack(64, 0);
  for (uint32_t i = 0; i < 33; ++i) stack[i] = 0x401000 + i;
  stack[7] = kDllBase + 7;
  TEventCallStack eventStack(32);
  auto entries = stackEntriesToPublish(stack, 1, 33, 32, fakeModuleName, eventStack);
  ASSERT_EQ(entries.size(), 32u);
  EXPECT_EQ(entries.front().index, 1);
  EXPECT_EQ(entries.back().index, 32);
  EXPECT_EQ(entries[6].module, "dll.dll");
  EXPECT_EQ(entries[0].module, "app.exe");
  EXPECT_EQ(eventStack[0].Address, 0u);  // index 0 is not published
  EXPECT_EQ(eventStack[1].Address, 0x401001u);
  EXPECT_EQ(eventStack[7].Module, "dll.dll");
  EXPECT_EQ(eventStack[31].Address, 0x40101Fu);
}

TEST(PublishTest, ZeroEntriesAndShortStacksAreSkipped) {
  TCallStack stack = {0x401000, 0, 0x401008};  // shorter than the fixed 32 of a last chance
  TEventCallStack eventStack(32);
  auto entries = stackEntriesToPublish(stack, 0, 32, 32, fakeModuleName, eventStack);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].index, 2);
  EXPECT_EQ(eventStack[2].Address, 0x401008u);

  TEventCallStack none(0);
  entries = stackEntriesToPublish(stack, 0, 32, 0, fakeModuleName, none);
  EXPECT_EQ(entries.size(), 2u);  // published, but no slot filled
  EXPECT_EQ(none[0].Address, 0u);
  EXPECT_TRUE(stackEntriesToPublish({}, 0, 32, 32, fakeModuleName, eventStack).empty());
}

TEST(PublishTest, StackModulesHasOneNamePerLine) {
  TCallStack stack = {0x401000, kDllBase + 4, 0x401010, 0};
  EXPECT_EQ(stackModulesText(stack, 2, fakeModuleName), "app.exe\r\ndll.dll\r\n");
  EXPECT_EQ(stackModulesText(stack, -1, fakeModuleName), "");
  EXPECT_EQ(stackModulesText(stack, 99, fakeModuleName).size(), 4 * 9u);
}

}  // namespace
}  // namespace ostrel
