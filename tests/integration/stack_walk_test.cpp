// The stack walker over the live debuggee: the sample's crashes with known call chains,
// stopped at the last chance, walked, named through the maps and export tables of the
// sample and its DLLs, and checked against the chain the sample's code makes.
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
  std::string unit;
  std::string routine;
  std::string line;
};

struct Scenario {
  const char* arguments;
  // Innermost first, up to the thread's first routine: ROUTINE in the sample,
  // MODULE!UNIT.ROUTINE in a mapped DLL, MODULE!ROUTINE in one named by exports, where
  // ROUTINE ending in "+$" stands for that export at any offset.
  std::vector<std::string> chain;
};

const char* const kSample = "dbg_sample.exe";
// The debuggee's own modules: everything the walk vouches for in them is chain or start-up.
const std::set<std::string> kOwnModules = {kSample, kChainDllName, kExportDllName};

std::string qualified(const NamedEntry& e) {
  if (e.module == kSample) return e.routine;
  return e.module + "!" + (e.unit.empty() ? "" : e.unit + ".") + e.routine;
}

bool matches(const std::string& expected, const std::string& name) {
  const size_t n = expected.size();
  if (n < 2 || expected.compare(n - 2, 2, "+$") != 0) return name == expected;
  return name.size() > n && name.compare(0, n, expected) == 0 &&
         name.find_first_not_of("0123456789ABCDEF", n) == std::string::npos;
}

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
    NamedEntry n{entry, {}, {}, {}, {}};
    if (const LiveModule* module = source.moduleOf(entry.address)) {
      SymbolInfo info =
          symbolizer.symbolize({module->path, module->base, module->size}, entry.address);
      n.module = std::move(info.ModuleName);
      n.unit = std::move(info.UnitName);
      n.routine = std::move(info.RoutineName);
      n.line = std::move(info.LineText);
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
    text += e.module + "  " + e.unit + "  " + e.routine + "  " + e.line + "  " +
            foundByName(e.entry.foundBy) + "\n";
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
  std::printf("stack of 'dbg_sample %s' (address, module, unit, routine, line, found by):\n%s",
              scenario.arguments, listing.c_str());
  RecordProperty("stack", listing);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0].entry.foundBy, FoundBy::Context);
  EXPECT_TRUE(matches(scenario.chain.front(), qualified(entries[0]))) << listing;

  // The whole chain, in order, among all entries.
  size_t next = 0;
  for (const NamedEntry& e : entries)
    if (next < scenario.chain.size() && matches(scenario.chain[next], qualified(e))) ++next;
  EXPECT_EQ(next, scenario.chain.size()) << "chain broken at " << scenario.chain[next] << "\n"
                                         << listing;

  // The entries the walk vouches for are the chain itself, nothing stale among them, then
  // the start-up code of the sample and of the system.
  std::vector<std::string> vouched;
  bool leftSample = false;
  for (const NamedEntry& e : entries) {
    // A module without a map is named by its exports alone, nothing else.
    if (e.module == kExportDllName) {
      EXPECT_TRUE(e.unit.empty() && e.line.empty()) << listing;
    }
    if (e.entry.foundBy == FoundBy::Scan) continue;
    if (kOwnModules.count(e.module) == 0) {
      leftSample = true;
      continue;
    }
    EXPECT_FALSE(leftSample) << "sample code above system code: " << qualified(e) << "\n"
                             << listing;
    if (vouched.size() < scenario.chain.size())
      vouched.push_back(qualified(e));
    else
      EXPECT_TRUE(e.module == kSample && kStartUp.count(e.routine))
          << "stale " << qualified(e) << "\n" << listing;
  }
  bool same = vouched.size() == scenario.chain.size();
  for (size_t i = 0; same && i < vouched.size(); ++i) same = matches(scenario.chain[i], vouched[i]);
  EXPECT_TRUE(same) << listing;
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
                      Scenario{"framed-av", framedChain()},
                      // Into a mapped DLL without frame pointers through a routine
                      // pointer, crashing there.
                      Scenario{"dll-map-av",
                               {"dbg_chaindll.dll!dbg_chaindll.chainFault",
                                "dbg_chaindll.dll!dbg_chaindll.chainMiddle",
                                "dbg_chaindll.dll!dbg_chaindll.ChainEnter", "dllMapAv", "main"}},
                      // Into a DLL named by its exports, with frame pointers, and back
                      // into the sample through a callback, crashing there.
                      Scenario{"dll-export-av",
                               {"faultingRoutine", "outerRoutine",
                                "dbg_exportdll.dll!ExportMiddle+$",
                                "dbg_exportdll.dll!ExportEnter+$", "dllExportAv", "main"}}),
    [](const ::testing::TestParamInfo<Scenario>& info) {
      std::string name = info.param.arguments;
      for (char& c : name)
        if (c == '-') c = '_';
      return name;
    });

}  // namespace
}  // namespace ostrel::itest
