// ostrel-cli run/attach on the sample debuggee: the printed event sequence and texts of
// each scenario, the exit codes, and a detached process that runs on.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <vector>

#include "debuggee_codes.h"
#include "excpack/exception_log.h"
#include "excpack/global_exc_pkg_types.h"
#include "integration_support.h"

namespace ostrel::itest {
namespace {

struct CliEvent {
  int number = 0;
  uint32_t pid = 0, tid = 0;
  std::string event;
  std::string details;
  std::string info;  // the "Exception ..." line after an exception event
  // With --stacks: the call stack lines after it, each split into its fields.
  std::vector<std::vector<std::string>> stack;
};

const char* const kEventNames[] = {"Exception - First chance",
                                   "Exception - Last chance",
                                   "Create thread",
                                   "Create process",
                                   "Exit thread",
                                   "Exit process",
                                   "Load Dll",
                                   "Unload Dll",
                                   "Output debug string",
                                   "Rip info",
                                   "Unknown"};

std::string hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

bool parseHex(const std::string& token, uint32_t& value) {
  if (token.size() != 9 || token[0] != '$') return false;
  return std::sscanf(token.c_str() + 1, "%8x", &value) == 1;
}

struct CliRun {
  RunResult raw;
  std::vector<CliEvent> events;
  std::vector<std::string> unparsed;

  std::vector<const CliEvent*> named(const std::string& event) const {
    std::vector<const CliEvent*> result;
    for (const auto& e : events)
      if (e.event == event) result.push_back(&e);
    return result;
  }
  std::vector<const CliEvent*> exceptions(uint32_t code) const {
    std::vector<const CliEvent*> result;
    for (const auto& e : events)
      if (e.event.rfind("Exception", 0) == 0 &&
          e.details.find("Err:$" + hex8(code)) != std::string::npos)
        result.push_back(&e);
    return result;
  }
  std::vector<std::string> strings(uint32_t pid = 0) const {
    std::vector<std::string> result;
    for (const auto& e : events)
      if (e.event == "Output debug string" && (pid == 0 || e.pid == pid))
        result.push_back(e.details);
    return result;
  }
  /// Exit code text of the process that was created first.
  std::string mainExit() const {
    for (const auto& e : events)
      if (e.event == "Exit process" && !events.empty() && e.pid == events.front().pid)
        return e.details;
    return "";
  }
};

CliRun parse(RunResult raw) {
  CliRun run;
  for (const std::string& line : raw.lines()) {
    if (line.rfind("\t", 0) == 0 && !run.events.empty() && !run.events.back().info.empty()) {
      std::vector<std::string> fields;
      size_t from = 1;
      for (size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
        fields.push_back(line.substr(from, tab - from));
      fields.push_back(line.substr(from));
      run.events.back().stack.push_back(std::move(fields));
      continue;
    }
    if (line.rfind("Exception ", 0) == 0 && !run.events.empty() &&
        run.events.back().event.rfind("Exception", 0) == 0 && run.events.back().info.empty()) {
      run.events.back().info = line.substr(10);
      continue;
    }
    CliEvent e;
    char pid[16] = {}, tid[16] = {};
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%d %10s %10s %n", &e.number, pid, tid, &consumed) != 3 ||
        !parseHex(pid, e.pid) || !parseHex(tid, e.tid)) {
      run.unparsed.push_back(line);
      continue;
    }
    // The event name is followed by one space and the details, which may be empty.
    std::string rest = line.substr(static_cast<size_t>(consumed));
    for (const char* name : kEventNames) {
      std::string n = name;
      if (rest.compare(0, n.size() + 1, n + " ") == 0) {
        e.event = n;
        e.details = rest.substr(n.size() + 1);
        break;
      }
      if (rest == n) {  // a line whose empty details lost the separating space
        e.event = n;
        break;
      }
    }
    if (e.event.empty())
      run.unparsed.push_back(line);
    else
      run.events.push_back(e);
  }
  run.raw = std::move(raw);
  return run;
}

// Exception logs of these runs go to a folder of their own, not the working folder.
std::string logFolder() {
  char temp[MAX_PATH + 1] = {};
  GetTempPathA(MAX_PATH, temp);
  std::string folder = std::string(temp) + "ostrel-cli-logs";
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

CliRun runSample(const std::string& scenario, const std::string& options = "") {
  std::string command = "\"" + cliPath() + "\" run --errdir \"" + logFolder() + "\" " + options +
                        (options.empty() ? "" : " ") + "\"" + samplePath() + "\" " + scenario;
  return parse(runCaptured(command, 90000));
}

// What every complete run shows: numbered from 1 without gaps, a process creation with no
// details first, the loader breakpoint, a clean end of the command.
void expectWellFormed(const CliRun& run) {
  ASSERT_TRUE(run.raw.finished) << run.raw.out << run.raw.err;
  EXPECT_EQ(run.raw.exitCode, 0u) << run.raw.err;
  EXPECT_TRUE(run.unparsed.empty()) << run.unparsed.front();
  ASSERT_FALSE(run.events.empty());
  for (size_t i = 0; i < run.events.size(); ++i)
    EXPECT_EQ(run.events[i].number, static_cast<int>(i + 1));
  EXPECT_EQ(run.events.front().event, "Create process");
  EXPECT_EQ(run.events.front().details, "");
  auto breakpoints = run.exceptions(kExceptionBreakpoint);
  ASSERT_FALSE(breakpoints.empty());
  EXPECT_EQ(breakpoints.front()->event, "Exception - First chance");
  EXPECT_EQ(lower(breakpoints.front()->info), "contunuable - breakpoint in ntdll.dll");
  for (const auto& e : run.events) {
    if (e.event.rfind("Exception", 0) == 0) {
      EXPECT_FALSE(e.info.empty()) << e.number;
    }
  }
}

// A first chance and then a last chance of the code, with one description for both.
void expectFirstThenLast(const CliRun& run, uint32_t code, const std::string& info) {
  auto seen = run.exceptions(code);
  ASSERT_EQ(seen.size(), 2u) << run.raw.out;
  EXPECT_EQ(seen[0]->event, "Exception - First chance");
  EXPECT_EQ(seen[1]->event, "Exception - Last chance");
  EXPECT_EQ(seen[0]->details, seen[1]->details);
  EXPECT_EQ(seen[0]->info, info);
  EXPECT_EQ(seen[1]->info, info);
  EXPECT_EQ(run.mainExit(), "Exit code $" + hex8(code));
}

std::string faultAddress(const CliEvent& e) {
  // "Addr:$XXXXXXXX Err:$XXXXXXXX"
  return e.details.substr(6, 8);
}

TEST(CliRun, BreakpointsAreContinuedAndTheProgramGoesOn) {
  CliRun run = runSample("breakpoint");
  expectWellFormed(run);
  auto breakpoints = run.exceptions(kExceptionBreakpoint);
  ASSERT_EQ(breakpoints.size(), 2u);  // the loader's and DebugBreak's
  EXPECT_EQ(breakpoints[1]->event, "Exception - First chance");
  EXPECT_EQ(run.named("Exception - Last chance").size(), 0u);
  EXPECT_EQ(run.strings(), std::vector<std::string>{"after breakpoint"});
  EXPECT_EQ(run.mainExit(), "Exit code $" + hex8(kExitBreakpoint));
  EXPECT_EQ(run.events.back().event, "Exit process");
}

TEST(CliRun, AccessViolationsNameTheModuleAndTheAccess) {
  for (const char* kind : {"read", "write"}) {
    SCOPED_TRACE(kind);
    CliRun run = runSample(std::string("av-") + kind);
    expectWellFormed(run);
    auto seen = run.exceptions(kExceptionAccessViolation);
    ASSERT_FALSE(seen.empty());
    std::string access = std::string(kind) == "read" ? "Read" : "Write";
    expectFirstThenLast(run, kExceptionAccessViolation,
                        "Contunuable - Access violation at address " + faultAddress(*seen[0]) +
                            " in module 'dbg_sample.exe'. " + access +
                            " of address 00000000 in dbg_sample.exe");
  }
}

TEST(CliRun, DivideByZero) {
  CliRun run = runSample("divzero");
  expectWellFormed(run);
  expectFirstThenLast(run, 0xC0000094, "Contunuable - Int Divide by Zero in dbg_sample.exe");
}

TEST(CliRun, CustomCodesRaisedInTheSystemLibrary) {
  CliRun run = runSample("custom-code");
  expectWellFormed(run);
  auto seen = run.exceptions(kCustomCode);
  ASSERT_EQ(seen.size(), 2u);
  std::string info = lower(seen[0]->info);
  EXPECT_EQ(info, "contunuable - unknown error, (e0000001) in kernelbase.dll");
  EXPECT_EQ(seen[1]->event, "Exception - Last chance");
  EXPECT_EQ(run.mainExit(), "Exit code $E0000001");

  // Handled by the debuggee: a first chance only, and the program carries on.
  CliRun handled = runSample("custom-handled");
  expectWellFormed(handled);
  auto first = handled.exceptions(kHandledCode);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0]->event, "Exception - First chance");
  EXPECT_EQ(handled.strings(), std::vector<std::string>{"after handled exception"});
  EXPECT_EQ(handled.mainExit(), "Exit code $" + hex8(kExitCustomHandled));
}

TEST(CliRun, DebugStringsInBothFormsAndWhole) {
  CliRun run = runSample("strings");
  expectWellFormed(run);
  std::wstring wide = kWideText;
  std::u16string wide16(wide.begin(), wide.end());
  std::string wideAnsi = Win32Platform().wideToAnsi(wide16);
  std::vector<std::string> expected = {kAnsiText, wideAnsi, longDebugString(), longDebugString()};
  EXPECT_EQ(run.strings(), expected);
  EXPECT_EQ(run.mainExit(), "Exit code $" + hex8(kExitStrings));
}

TEST(CliRun, ThreadsAreCreatedAndEndWithTheirCodes) {
  CliRun run = runSample("threads 6");
  expectWellFormed(run);
  auto created = run.named("Create thread");
  auto exited = run.named("Exit thread");
  EXPECT_EQ(created.size(), 6u);
  EXPECT_EQ(exited.size(), 6u);
  std::set<uint32_t> ids;
  for (const auto* e : created) {
    EXPECT_EQ(e->details.rfind("Local base $", 0), 0u) << e->details;
    EXPECT_NE(e->details, "Local base $00000000");
    ids.insert(e->tid);
  }
  EXPECT_EQ(ids.size(), created.size());
  for (const auto* e : exited) {
    EXPECT_EQ(e->details, "Exit code $00000007");
    EXPECT_EQ(ids.count(e->tid), 1u);
  }
  EXPECT_EQ(run.mainExit(), "Exit code $" + hex8(kExitThreads));
}

TEST(CliRun, DllLoadsAndUnloadsShareTheirBase) {
  CliRun run = runSample("dll-cycles 3");
  expectWellFormed(run);
  // The test DLL is the only one loaded after the loader breakpoint and unloaded before exit.
  int afterStart = run.exceptions(kExceptionBreakpoint).front()->number;
  std::vector<std::string> loads, unloads;
  for (const auto& e : run.events) {
    if (e.number <= afterStart) continue;
    if (e.event == "Load Dll") loads.push_back(e.details);
    if (e.event == "Unload Dll") unloads.push_back(e.details);
  }
  ASSERT_GE(loads.size(), 3u);
  ASSERT_GE(unloads.size(), 3u);
  int matched = 0;
  for (const auto& base : unloads) {
    EXPECT_EQ(base.size(), 9u);
    if (std::find(loads.begin(), loads.end(), base) != loads.end()) ++matched;
  }
  EXPECT_GE(matched, 3);
  EXPECT_EQ(run.mainExit(), "Exit code $" + hex8(kExitDllCycles));
}

TEST(CliRun, ChildProcessIsDebuggedAndReadThroughItsOwnHandle) {
  CliRun run = runSample("child");
  expectWellFormed(run);
  auto created = run.named("Create process");
  ASSERT_EQ(created.size(), 2u);
  uint32_t parent = created[0]->pid, child = created[1]->pid;
  ASSERT_NE(parent, child);
  // The child wrote its own text where the parent keeps a different one: a read through
  // the parent's handle would show the parent's text.
  EXPECT_EQ(run.strings(child), std::vector<std::string>{kChildTextPrefix + std::to_string(child)});
  EXPECT_EQ(run.strings(parent), std::vector<std::string>{"parent text"});
  // Both processes reach their loader breakpoint and their end.
  int childBreakpoints = 0;
  for (const auto* e : run.exceptions(kExceptionBreakpoint)) childBreakpoints += e->pid == child;
  EXPECT_EQ(childBreakpoints, 1);
  std::string childExit;
  for (const auto* e : run.named("Exit process"))
    if (e->pid == child) childExit = e->details;
  EXPECT_EQ(childExit, "Exit code $" + hex8(kExitChildBody));
  EXPECT_EQ(run.mainExit(), "Exit code $" + hex8(kExitChild));
}

TEST(CliRun, StackOverflowFirstAndLastChance) {
  CliRun run = runSample("stackoverflow");
  expectWellFormed(run);
  auto seen = run.exceptions(kExceptionStackOverflow);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen.front()->event, "Exception - First chance");
  EXPECT_EQ(seen.back()->event, "Exception - Last chance");
  EXPECT_NE(seen.front()->info.find("Stack Overflow in "), std::string::npos) << seen.front()->info;
  EXPECT_EQ(run.mainExit(), "Exit code $C00000FD");
}

TEST(CliRun, ErrorsAndUsage) {
  RunResult missing = runCaptured("\"" + cliPath() + "\" run Z:\\no\\such\\program.exe");
  EXPECT_EQ(missing.exitCode, 3u);
  EXPECT_EQ(missing.err.rfind("Debugger error! ", 0), 0u) << missing.err;
  EXPECT_EQ(runCaptured("\"" + cliPath() + "\" run").exitCode, 2u);
  EXPECT_EQ(runCaptured("\"" + cliPath() + "\" attach notanumber").exitCode, 2u);
  EXPECT_EQ(runCaptured("\"" + cliPath() + "\" attach 12 --for").exitCode, 2u);
  // No such process: the session ends at once with the system's reason.
  RunResult noProcess = runCaptured("\"" + cliPath() + "\" attach 99999", 20000);
  EXPECT_TRUE(noProcess.finished);
  EXPECT_EQ(noProcess.exitCode, 3u);
  EXPECT_EQ(noProcess.err.rfind("Debugger error! ", 0), 0u) << noProcess.err;
}

std::vector<std::string> logsIn(const std::string& folder, const char* pattern = "*.err") {
  std::vector<std::string> found;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\" + pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return found;
  do found.push_back(folder + "\\" + data.cFileName);
  while (FindNextFileA(find, &data));
  FindClose(find);
  return found;
}

// A folder of its own, emptied of logs of earlier runs.
std::string freshLogFolder(const std::string& name) {
  std::string folder = logFolder() + "\\" + name;
  CreateDirectoryA(folder.c_str(), nullptr);
  for (const char* pattern : {"*.err", "*.dmp"})
    for (const std::string& f : logsIn(folder, pattern)) DeleteFileA(f.c_str());
  return folder;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The call stack rows whose routine cell (the fifth) is the given one.
size_t rowsNaming(const std::vector<std::string>& lines, const std::string& routine) {
  size_t n = 0;
  for (const auto& line : lines) {
    size_t cell = 0, start = 0;
    for (size_t i = 0; i <= line.size(); ++i) {
      if (i == line.size() || line[i] == '\t') {
        if (cell == 4 && line.compare(start, i - start, routine) == 0) ++n;
        ++cell;
        start = i + 1;
      }
    }
  }
  return n;
}

// A crash stores one log; it deciphers, names the faulting instruction and thread, and
// its call stack resolves through the sample's map to the routines that were running.
TEST(CliRun, LastChanceLogResolvesToTheCrashingRoutines) {
  std::string map = samplePath().substr(0, samplePath().size() - 4) + ".map";
  for (const char* scenario : {"deep-av", "thread-av"}) {
    SCOPED_TRACE(scenario);
    std::string folder = freshLogFolder(scenario);
    CliRun run = parse(runCaptured("\"" + cliPath() + "\" run --errdir \"" + folder + "\" \"" +
                                       samplePath() + "\" " + scenario,
                                   90000));
    ASSERT_TRUE(run.raw.finished);
    EXPECT_EQ(run.raw.exitCode, 0u) << run.raw.err;
    auto seen = run.exceptions(kExceptionAccessViolation);
    ASSERT_GE(seen.size(), 2u);
    const CliEvent& last = *seen.back();
    ASSERT_EQ(last.event, "Exception - Last chance");

    auto logs = logsIn(folder);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(run.raw.err.find(
                  "warning: Last chance exception occurred!  Exception log stored to " + logs[0]),
              std::string::npos)
        << run.raw.err;

    RunResult text = runCaptured("\"" + cliPath() + "\" err text \"" + logs[0] + "\"");
    EXPECT_EQ(text.exitCode, 0u) << text.err;
    EXPECT_NE(text.out.find("object TExceptionPack"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("'$C0000005'"), std::string::npos) << text.out;

    RunResult report =
        runCaptured("\"" + cliPath() + "\" err report \"" + logs[0] + "\" --map \"" + map + "\"");
    ASSERT_EQ(report.exitCode, 0u) << report.err;
    auto lines = report.lines();
    std::string fault = faultAddress(last);
    EXPECT_TRUE(hasLine(lines, "\tError address: $" + fault)) << report.out;
    EXPECT_TRUE(hasLine(lines, "\tException code: $C0000005")) << report.out;
    EXPECT_TRUE(hasLine(lines, "\tCurrent thread Id: " + std::to_string(last.tid))) << report.out;
    // The registers are the faulting thread's: its EIP is the faulting instruction.
    bool eip = false;
    for (const auto& line : lines)
      eip = eip || (line.rfind("\t\tECS: $", 0) == 0 &&
                    line.find("\tEIP: $" + fault) != std::string::npos);
    EXPECT_TRUE(eip) << report.out;
    // "E:" row: the faulting instruction lies in faultingRoutine; the stack holds the
    // return into outerRoutine, and for the second thread into its thread routine.
    bool errorRow = false;
    for (const auto& line : lines)
      errorRow = errorRow || (line.rfind("E:\t$" + fault, 0) == 0 &&
                              line.find("\tfaultingRoutine\t") != std::string::npos);
    EXPECT_TRUE(errorRow) << report.out;
    EXPECT_GE(rowsNaming(lines, "outerRoutine"), 1u) << report.out;
  }
}

// Just enough of a minidump for the test: each stream read through the directory, every
// read checked against the file.
class DumpFile {
 public:
  explicit DumpFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return;
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
      bytes_.insert(bytes_.end(), buffer, buffer + n);
    std::fclose(f);
  }
  size_t size() const { return bytes_.size(); }
  std::optional<uint32_t> u32(uint64_t at) const {
    if (at + 4 > bytes_.size()) return std::nullopt;
    uint32_t v;
    std::memcpy(&v, bytes_.data() + at, 4);
    return v;
  }
  std::optional<uint64_t> u64(uint64_t at) const {
    auto lo = u32(at), hi = u32(at + 4);
    if (!lo || !hi) return std::nullopt;
    return *lo | (uint64_t{*hi} << 32);
  }
  /// Offset of the first stream of the type, checked to lie wholly in the file.
  std::optional<uint32_t> stream(uint32_t type) const {
    auto count = u32(8), directory = u32(12);
    if (!count || !directory) return std::nullopt;
    for (uint32_t i = 0; i < *count; ++i) {
      auto t = u32(uint64_t{*directory} + 12 * i), size = u32(uint64_t{*directory} + 12 * i + 4),
           rva = u32(uint64_t{*directory} + 12 * i + 8);
      if (!t || !size || !rva) return std::nullopt;
      if (*t == type) {
        if (uint64_t{*rva} + *size > bytes_.size()) return std::nullopt;
        return *rva;
      }
    }
    return std::nullopt;
  }
  /// A counted UTF-16 name at rva, narrowed (the test's names are ASCII).
  std::string name(uint32_t rva) const {
    auto length = u32(rva);
    if (!length || uint64_t{rva} + 4 + *length > bytes_.size()) return "?";
    std::string text;
    for (uint32_t i = 0; i + 1 < *length; i += 2) text += static_cast<char>(bytes_[rva + 4 + i]);
    return text;
  }

 private:
  std::vector<uint8_t> bytes_;
};

// A crash leaves its minidump beside its log: the same name, the exception with the
// faulting thread's registers, every thread, the modules. None when asked for none.
TEST(CliRun, LastChanceWritesAMinidumpBesideTheLog) {
  std::string folder = freshLogFolder("minidump");
  CliRun run = parse(runCaptured("\"" + cliPath() + "\" run --dump normal --errdir \"" + folder +
                                     "\" \"" + samplePath() + "\" deep-av",
                                 90000));
  ASSERT_TRUE(run.raw.finished);
  EXPECT_EQ(run.raw.exitCode, 0u) << run.raw.err;
  EXPECT_EQ(run.raw.err.find("Minidump"), std::string::npos) << run.raw.err;
  auto seen = run.exceptions(kExceptionAccessViolation);
  ASSERT_GE(seen.size(), 2u);
  const CliEvent& last = *seen.back();
  ASSERT_EQ(last.event, "Exception - Last chance");
  uint32_t fault = 0;
  ASSERT_TRUE(parseHex("$" + faultAddress(last), fault)) << last.details;

  auto logs = logsIn(folder);
  auto dumps = logsIn(folder, "*.dmp");
  ASSERT_EQ(logs.size(), 1u);
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_EQ(dumps[0], logs[0].substr(0, logs[0].size() - 4) + ".dmp");

  DumpFile dump(dumps[0]);
  ASSERT_EQ(dump.u32(0), 0x504D444Du) << "no MDMP signature";  // "MDMP"
  auto exception = dump.stream(6);
  ASSERT_TRUE(exception);
  EXPECT_EQ(dump.u32(*exception), last.tid);
  EXPECT_EQ(dump.u32(*exception + 8), kExceptionAccessViolation);
  EXPECT_EQ(dump.u64(*exception + 24), uint64_t{fault});
  // The recorded registers are the faulting thread's: EIP is the faulting instruction.
  auto contextRva = dump.u32(*exception + 164);
  ASSERT_TRUE(contextRva);
  EXPECT_EQ(dump.u32(uint64_t{*contextRva} + 0xB8), fault);

  auto threads = dump.stream(3);
  ASSERT_TRUE(threads);
  auto threadCount = dump.u32(*threads);
  ASSERT_TRUE(threadCount);
  bool crashedThread = false;
  for (uint32_t i = 0; i < *threadCount; ++i) {
    auto id = dump.u32(uint64_t{*threads} + 4 + 48 * i);
    ASSERT_TRUE(id);
    crashedThread = crashedThread || *id == last.tid;
    // Each thread's stack memory is in the file.
    auto stackSize = dump.u32(uint64_t{*threads} + 4 + 48 * i + 32);
    auto stackRva = dump.u32(uint64_t{*threads} + 4 + 48 * i + 36);
    ASSERT_TRUE(stackSize && stackRva);
    EXPECT_GT(*stackSize, 0u);
    EXPECT_LE(uint64_t{*stackRva} + *stackSize, dump.size());
  }
  EXPECT_TRUE(crashedThread);

  auto modules = dump.stream(4);
  ASSERT_TRUE(modules);
  auto moduleCount = dump.u32(*modules);
  ASSERT_TRUE(moduleCount);
  std::set<std::string> names;
  bool faultInSample = false;
  for (uint32_t i = 0; i < *moduleCount; ++i) {
    const uint64_t at = uint64_t{*modules} + 4 + 108 * i;
    auto base = dump.u64(at);
    auto size = dump.u32(at + 8);
    auto nameRva = dump.u32(at + 20);
    ASSERT_TRUE(base && size && nameRva);
    std::string name = lower(dump.name(*nameRva));
    names.insert(name.substr(name.find_last_of("\\/") + 1));
    if (endsWith(name, "dbg_sample.exe")) faultInSample = fault >= *base && fault - *base < *size;
  }
  EXPECT_TRUE(names.count("dbg_sample.exe")) << names.size();
  EXPECT_TRUE(names.count("kernel32.dll")) << names.size();
  EXPECT_TRUE(faultInSample);

  // Without a map, err report names the log's frames through the dump beside it (and the
  // map it finds beside the module the dump records).
  const std::string errorRow =
      "E:\t$" + faultAddress(last) + "\tdbg_sample.exe\tdbg_sample\tfaultingRoutine\t";
  RunResult report = runCaptured("\"" + cliPath() + "\" err report \"" + logs[0] + "\"");
  ASSERT_EQ(report.exitCode, 0u) << report.err;
  EXPECT_NE(report.out.find("\n" + errorRow), std::string::npos) << report.out;
  EXPECT_NE(report.out.find("\tdbg_sample.exe\tdbg_sample\touterRoutine\t"), std::string::npos)
      << report.out;

  std::string none = freshLogFolder("minidump-none");
  RunResult plain = runCaptured("\"" + cliPath() + "\" run --dump none --errdir \"" + none +
                                    "\" \"" + samplePath() + "\" deep-av",
                                90000);
  ASSERT_TRUE(plain.finished);
  EXPECT_EQ(plain.exitCode, 0u) << plain.err;
  EXPECT_EQ(logsIn(none).size(), 1u);
  EXPECT_TRUE(logsIn(none, "*.dmp").empty());
  // No dump, no map: nothing names the frames.
  RunResult unnamed = runCaptured("\"" + cliPath() + "\" err report \"" + logsIn(none)[0] + "\"");
  ASSERT_EQ(unnamed.exitCode, 0u) << unnamed.err;
  EXPECT_EQ(unnamed.out.find("faultingRoutine"), std::string::npos) << unnamed.out;
}

// --stacks: the crash's chain walked and named, each entry labelled, and the raw scan the
// log stores all there, in its order.
TEST(CliRun, StacksListTheVerifiedChainAndEveryRawEntry) {
  std::string folder = freshLogFolder("stacks");
  CliRun run = parse(runCaptured("\"" + cliPath() + "\" run --stacks --errdir \"" + folder +
                                     "\" \"" + samplePath() + "\" deep-av",
                                 90000));
  expectWellFormed(run);
  auto seen = run.exceptions(kExceptionAccessViolation);
  ASSERT_EQ(seen.size(), 2u);
  for (const CliEvent* e : seen) {
    SCOPED_TRACE(e->event);
    const auto& stack = e->stack;
    ASSERT_GE(stack.size(), 4u) << run.raw.out;
    for (size_t i = 0; i < stack.size(); ++i) {
      ASSERT_EQ(stack[i].size(), 7u) << i;
      EXPECT_EQ(stack[i][0], i == 0 ? "E:" : std::to_string(i - 1));
      EXPECT_FALSE(stack[i][2].empty()) << i;  // every entry lies in a module
      // Every module is named: the sample through its map, the system's by their exports.
      EXPECT_FALSE(stack[i][4].empty()) << i << " " << stack[i][1] << " " << stack[i][2];
    }
    EXPECT_EQ(stack[0][1], "$" + faultAddress(*e));
    const std::vector<std::string> chain[] = {
        {"dbg_sample.exe", "dbg_sample", "faultingRoutine", "context"},
        {"dbg_sample.exe", "dbg_sample", "outerRoutine", "call"},
        {"dbg_sample.exe", "dbg_sample", "main", "call"}};
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ((std::vector<std::string>{stack[i][2], stack[i][3], stack[i][4], stack[i][6]}),
                chain[i]);
      EXPECT_FALSE(stack[i][5].empty());  // a line from the map
    }
    for (const auto& entry : stack) {
      if (entry[2] != "dbg_sample.exe") {
        EXPECT_EQ(entry[3] + entry[5], "") << entry[2];
      }
    }
  }

  // The log's raw scan (the first 32 entries, as published) is a subsequence of the list.
  auto logs = logsIn(folder);
  ASSERT_EQ(logs.size(), 1u);
  excpack::ExcPkgStartup();  // reading a stored log back needs the package's classes
  auto read = excpack::readExceptionLog(logs[0]);
  ASSERT_TRUE(read.pack) << read.error;
  const excpack::TErrorInfo* error = read.pack->ErrorInfo();
  ASSERT_NE(error, nullptr);
  const auto& listed = seen.back()->stack;
  size_t at = 1;
  int items = 0;
  for (int i = 0; i < error->CallStackCount() && items < 32; ++i) {
    const excpack::TCallStackItem* item = error->CallStackItem(i);
    if (item == nullptr) continue;
    ++items;
    const std::string address = "$" + hex8(item->OperationPoint);
    while (at < listed.size() && listed[at][1] != address) ++at;
    ASSERT_LT(at, listed.size()) << "raw entry " << items << " " << address << " not listed";
    ++at;
  }
  EXPECT_GT(items, 3);
}

// A recursion with frame pointers: every call's frame listed, though the raw scan lists
// a return address repeated at consecutive slots only once.
TEST(CliRun, StacksListEveryFrameOfARecursion) {
  CliRun run = runSample("framed-av", "--stacks");
  expectWellFormed(run);
  auto seen = run.exceptions(kExceptionAccessViolation);
  ASSERT_EQ(seen.size(), 2u);
  std::vector<std::string> chain;
  for (const auto& entry : seen.back()->stack)
    if (entry.size() == 7 && entry[6] != "scan") chain.push_back(entry[4]);
  std::vector<std::string> expected = {"faultingRoutine", "outerRoutine"};
  expected.insert(expected.end(), kFramedDepth + 1, "framedRecurse");
  expected.insert(expected.end(), {"framedOuter", "main"});
  ASSERT_GE(chain.size(), expected.size()) << run.raw.out;
  chain.resize(expected.size());
  EXPECT_EQ(chain, expected) << run.raw.out;
}

TEST(CliAttach, DetachLeavesTheProcessRunning) {
  PlainProcess target(sampleCommand("sleep 30"));
  ASSERT_TRUE(target.started());
  uint32_t pid = static_cast<uint32_t>(std::stoul(target.firstLine()));
  CliRun run =
      parse(runCaptured("\"" + cliPath() + "\" attach " + std::to_string(pid) + " --for 2", 30000));
  ASSERT_TRUE(run.raw.finished);
  EXPECT_EQ(run.raw.exitCode, 0u) << run.raw.err;
  ASSERT_FALSE(run.events.empty()) << run.raw.out << run.raw.err;
  EXPECT_EQ(run.events.front().event, "Create process");
  EXPECT_EQ(run.events.front().pid, pid);
  EXPECT_FALSE(run.named("Load Dll").empty());
  EXPECT_FALSE(run.exceptions(kExceptionBreakpoint).empty());
  EXPECT_FALSE(run.strings(pid).empty()) << "ticks while attached";
  for (const auto& s : run.strings(pid)) EXPECT_EQ(s.rfind("tick ", 0), 0u);
  EXPECT_TRUE(run.named("Exit process").empty());
  Sleep(300);
  EXPECT_TRUE(target.alive());
}

// A crash through a DLL with a map, read back from its minidump: the crashed thread comes
// first and its stack names the chain the live session listed, entry for entry; the report
// of a damaged copy is an error.
TEST(CliDump, ReportOfACrashNamesTheChainTheSessionListed) {
  std::string folder = freshLogFolder("dump-report");
  CliRun run = parse(runCaptured("\"" + cliPath() + "\" run --stacks --dump normal --errdir \"" +
                                     folder + "\" \"" + samplePath() + "\" dll-map-av",
                                 90000));
  ASSERT_TRUE(run.raw.finished);
  auto seen = run.exceptions(kExceptionAccessViolation);
  ASSERT_FALSE(seen.empty());
  const CliEvent& last = *seen.back();
  ASSERT_EQ(last.event, "Exception - Last chance");
  auto dumps = logsIn(folder, "*.dmp");
  ASSERT_EQ(dumps.size(), 1u);

  RunResult report = runCaptured("\"" + cliPath() + "\" dump report \"" + dumps[0] + "\"");
  ASSERT_TRUE(report.finished);
  ASSERT_EQ(report.exitCode, 0u) << report.err;
  const std::vector<std::string> lines = report.lines();
  auto has = [&](const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  };
  EXPECT_TRUE(has("Exception: $C0000005 at $" + faultAddress(last) + " in thread $" +
                  hex8(last.tid)))
      << report.out;
  EXPECT_TRUE(has("Description: Contunuable - Access violation at address " +
                  faultAddress(last) + " in module 'dbg_chaindll.dll'. Read of address 00000000"))
      << report.out;

  // The crashed thread's entries: the tab lines after the first thread line.
  auto first = std::find_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("Thread ", 0) == 0; });
  ASSERT_NE(first, lines.end());
  EXPECT_EQ(*first, "Thread $" + hex8(last.tid) + " (crashed)");
  std::vector<std::vector<std::string>> stack;
  for (auto it = first + 1; it != lines.end() && it->rfind("\t", 0) == 0; ++it) {
    std::vector<std::string> fields;
    size_t from = 1;
    for (size_t tab; (tab = it->find('\t', from)) != std::string::npos; from = tab + 1)
      fields.push_back(it->substr(from, tab - from));
    fields.push_back(it->substr(from));
    stack.push_back(std::move(fields));
  }
  // E: chainFault, chainMiddle, ChainEnter, dllMapAv, main: numbers, addresses and names as
  // the session had them from the live process.
  ASSERT_GE(stack.size(), 5u) << report.out;
  ASSERT_GE(last.stack.size(), 5u) << run.raw.out;
  for (size_t i = 0; i < 5; ++i)
    EXPECT_EQ(std::vector(stack[i].begin(), stack[i].begin() + 6),
              std::vector(last.stack[i].begin(), last.stack[i].begin() + 6))
        << report.out;
  EXPECT_EQ(stack[0][4] + " " + stack[0][6], "chainFault context");
  EXPECT_EQ(stack[1][4] + " " + stack[1][6], "chainMiddle call");
  EXPECT_EQ(stack[2][4] + " " + stack[2][6], "ChainEnter call");
  EXPECT_EQ(stack[3][4], "dllMapAv");
  const auto modules = std::find(lines.begin(), lines.end(), "Modules:");
  ASSERT_NE(modules, lines.end());
  EXPECT_TRUE(std::any_of(modules, lines.end(), [](const std::string& l) {
    return l.find("\\dbg_chaindll.dll\t") != std::string::npos;
  })) << report.out;

  // The same dump cut short is refused with what is wrong.
  std::ifstream whole(dumps[0], std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>());
  const std::string cut = folder + "\\cut.dmp";
  std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
  RunResult damaged = runCaptured("\"" + cliPath() + "\" dump report \"" + cut + "\"");
  EXPECT_EQ(damaged.exitCode, 1u);
  EXPECT_EQ(damaged.err.rfind("error: " + cut + ": ", 0), 0u) << damaged.err;
  EXPECT_TRUE(damaged.out.empty());
}

// A snapshot of a running process: every thread and the modules, no exception; the process
// runs on, and an existing file is never replaced.
TEST(CliDump, SnapshotOfARunningProcessThatRunsOn) {
  PlainProcess target(sampleCommand("sleep 30"));
  ASSERT_TRUE(target.started());
  uint32_t pid = static_cast<uint32_t>(std::stoul(target.firstLine()));
  std::string folder = freshLogFolder("snapshot");
  std::string file = folder + "\\snapshot.dmp";
  DeleteFileA(file.c_str());
  RunResult run =
      runCaptured("\"" + cliPath() + "\" dump " + std::to_string(pid) + " \"" + file + "\"", 30000);
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.exitCode, 0u) << run.err;

  DumpFile dump(file);
  ASSERT_EQ(dump.u32(0), 0x504D444Du) << "no MDMP signature";
  EXPECT_FALSE(dump.stream(6)) << "a snapshot has no exception";
  auto threads = dump.stream(3);
  ASSERT_TRUE(threads);
  EXPECT_GE(dump.u32(*threads).value_or(0), 1u);
  auto modules = dump.stream(4);
  ASSERT_TRUE(modules);
  bool sample = false;
  for (uint32_t i = 0; i < dump.u32(*modules).value_or(0); ++i) {
    auto nameRva = dump.u32(uint64_t{*modules} + 4 + 108 * i + 20);
    ASSERT_TRUE(nameRva);
    sample = sample || endsWith(lower(dump.name(*nameRva)), "dbg_sample.exe");
  }
  EXPECT_TRUE(sample);
  EXPECT_TRUE(target.alive());

  // A second snapshot to the same name fails and leaves the first as it was.
  const size_t size = dump.size();
  RunResult again =
      runCaptured("\"" + cliPath() + "\" dump " + std::to_string(pid) + " \"" + file + "\"", 30000);
  ASSERT_TRUE(again.finished);
  EXPECT_EQ(again.exitCode, 3u) << again.err;
  EXPECT_NE(again.err.find("ostrel-cli dump: "), std::string::npos) << again.err;
  // It attached again, so the first detach had left the process alive.
  EXPECT_EQ(again.err.find("cannot attach"), std::string::npos) << again.err;
  EXPECT_EQ(DumpFile(file).size(), size);
  EXPECT_TRUE(target.alive());
}

TEST(CliAttach, RepeatedDetachFromAStreamingProcessLeavesItRunning) {
  // A debuggee that never pauses: every detach happens while events are on their way, and
  // the next attach succeeds only if the one before really let go.
  PlainProcess target(sampleCommand("stream 240"));
  ASSERT_TRUE(target.started());
  const std::string pid = target.firstLine();
  for (const char* handoff : {"", " --handoff"}) {
    for (int round = 0; round < 12; ++round) {
      SCOPED_TRACE(std::string("round ") + std::to_string(round) + handoff);
      RunResult run =
          runCaptured("\"" + cliPath() + "\" attach " + pid + " --for 1" + handoff, 30000);
      ASSERT_TRUE(run.finished);
      ASSERT_EQ(run.exitCode, 0u) << run.err;
      EXPECT_EQ(run.err.find("Could not detach"), std::string::npos) << run.err;
      EXPECT_NE(run.out.find("Output debug string"), std::string::npos);
      ASSERT_TRUE(target.alive());
    }
  }
}

}  // namespace
}  // namespace ostrel::itest
