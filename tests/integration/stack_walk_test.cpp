// The stack walker over the live debuggee: the sample's crashes with known call chains,
// stopped at the last chance, walked, named through the sample's map and checked against
// the chain the sample's code makes.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "debuggee_codes.h"
#include "engine/live_memory_source.h"
#include "engine/stack_capture.h"
#include "integration_support.h"
#include "stack/stack_walker.h"
#include "stack/symbolizer.h"

namespace ostrel::itest {
namespace {

constexpr uint32_t kAccessViolation = 0xC0000005;

struct NamedEntry {
  StackEntry entry;
  std::string module;
  std::string routine;
};

struct Scenario {
  const char* arguments;
  std::vector<std::string> chain;  // innermost first, up to the thread's first routine
};

// Test names show the scenario, not the bytes of the record.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.arguments; }

/// Runs the sample to its unhandled access violation and walks the faulting thread.
std::vector<NamedEntry> crashStack(const std::string& arguments) {
  Win32Platform platform;
  BareDebugger dbg(platform);
  EXPECT_TRUE(dbg.start(sampleCommand(arguments)));
  auto crash = dbg.until([](const DebugEventRecord& e) {
    return e.dwDebugEventCode == EXCEPTION_DEBUG_EVENT_CODE &&
           e.u.Exception.ExceptionRecord.ExceptionCode == kAccessViolation &&
           e.u.Exception.dwFirstChance == 0;
  });
  if (!crash) {
    ADD_FAILURE() << "no last-chance access violation";
    return {};
  }
  HANDLE thread = OpenThread(THREAD_ALL_ACCESS, FALSE, crash->dwThreadId);
  EXPECT_NE(thread, nullptr);
  const Handle process = dbg.mainProcess();
  ThreadContext context{};
  StackInfoBlock block{};
  const bool read = readThreadStackInfo(
      platform, process, static_cast<Handle>(reinterpret_cast<uintptr_t>(thread)), context, block);
  CloseHandle(thread);
  if (!read) {
    ADD_FAILURE() << "cannot read the thread's context and stack";
    return {};
  }

  LiveMemorySource source(platform, process, stackRangeOf(block));
  StackWalker walker(source);
  Symbolizer symbolizer;
  std::vector<NamedEntry> named;
  for (const StackEntry& entry : walker.merged({context.Eip, context.Esp, context.Ebp}, 256)) {
    NamedEntry n{entry, {}, {}};
    if (const LiveModule* module = source.moduleOf(entry.address)) {
      const SymbolInfo info =
          symbolizer.symbolize({module->path, module->base, module->size}, entry.address);
      n.module = info.ModuleName;
      n.routine = info.RoutineName;
    }
    named.push_back(std::move(n));
  }
  return named;
}

std::string describe(const std::vector<NamedEntry>& entries) {
  std::string text;
  char line[64];
  for (size_t i = 0; i < entries.size(); ++i) {
    const NamedEntry& e = entries[i];
    std::snprintf(line, sizeof line, "%3zu  $%08X  ", i, e.entry.address);
    text += line;
    text += e.module + "  " + e.routine + "  " + foundByName(e.entry.foundBy) + "\n";
  }
  return text;
}

class StackWalkTest : public ::testing::TestWithParam<Scenario> {};

// Names the sample's own code may hold above the chain: the run-time's start-up.
const std::set<std::string> kStartUp = {"main", "__tmainCRTStartup", "mainCRTStartup",
                                        "WinMainCRTStartup"};

TEST_P(StackWalkTest, ListsTheWholeChainAndOnlyTrueFrames) {
  const Scenario& scenario = GetParam();
  const auto entries = crashStack(scenario.arguments);
  const std::string listing = describe(entries);
  std::printf("stack of 'dbg_sample %s' (address, module, routine, found by):\n%s",
              scenario.arguments, listing.c_str());
  RecordProperty("stack", listing);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0].entry.foundBy, FoundBy::Context);
  EXPECT_EQ(entries[0].routine, scenario.chain.front());

  // The whole chain, in order, among all entries.
  size_t next = 0;
  for (const NamedEntry& e : entries)
    if (next < scenario.chain.size() && e.module == "dbg_sample.exe" &&
        e.routine == scenario.chain[next])
      ++next;
  EXPECT_EQ(next, scenario.chain.size()) << "chain broken at " << scenario.chain[next] << "\n"
                                         << listing;

  // The entries the walk vouches for are the chain itself, nothing stale among them, then
  // the start-up code of the sample and of the system.
  std::vector<std::string> vouched;
  bool leftSample = false;
  for (const NamedEntry& e : entries) {
    if (e.entry.foundBy == FoundBy::Scan) continue;
    if (e.module != "dbg_sample.exe") {
      leftSample = true;
      continue;
    }
    EXPECT_FALSE(leftSample) << "sample code above system code: " << e.routine << "\n" << listing;
    if (vouched.size() < scenario.chain.size())
      vouched.push_back(e.routine);
    else
      EXPECT_TRUE(kStartUp.count(e.routine)) << "stale " << e.routine << "\n" << listing;
  }
  EXPECT_EQ(vouched, scenario.chain) << listing;
}

std::vector<std::string> framedChain() {
  std::vector<std::string> chain = {"faultingRoutine", "outerRoutine"};
  chain.insert(chain.end(), kFramedDepth + 1, "framedRecurse");
  chain.push_back("framedOuter");
  chain.push_back("main");
  return chain;
}

INSTANTIATE_TEST_SUITE_P(
    Sample, StackWalkTest,
    ::testing::Values(Scenario{"deep-av", {"faultingRoutine", "outerRoutine", "main"}},
                      Scenario{"thread-av",
                               {"faultingRoutine", "outerRoutine", "crashingThread@4"}},
                      Scenario{"framed-av", framedChain()}),
    [](const ::testing::TestParamInfo<Scenario>& info) {
      std::string name = info.param.arguments;
      for (char& c : name)
        if (c == '-') c = '_';
      return name;
    });

}  // namespace
}  // namespace ostrel::itest
