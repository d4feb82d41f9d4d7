// The debug event loop and session control, driven by the scripted platform.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/debug_thread.h"
#include "excpack/exception_log.h"
#include "excpack/global_exc_pkg_types.h"
#include "fake_platform.h"

using namespace ostrel;
using namespace ostrel::fake;

namespace {

constexpr uint32_t kPid = 0x500, kTid = 0x600;
constexpr Handle kProc = 0x100, kThread = 0x104;
constexpr Handle kAttachRead = 0x200;  // what the fake's OpenProcess gives
const char kExe[] = "C:\\app\\sample.exe";

template <class Pred>
bool waitUntil(Pred pred, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logDir =
        std::filesystem::temp_directory_path() /
        ("ostrel-session-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(logDir);
    std::filesystem::create_directories(logDir);
    setEnginePlatform(&fake, &sync);
    engineStartup();
    excpack::ExcPkgStartup();  // reading a stored log back needs the package's classes
    fake.addRegion(kProc, {0x400000, 0x10000, 0x400000, kMemCommit});
    fake.addModule(kProc, 0x400000, kExe);
    fake.addRegion(kProc, {0x7BC00000, 0x100000, 0x7BC00000, kMemCommit});
    fake.addModule(kProc, 0x7BC00000, "C:\\windows\\system32\\ntdll.dll");
    // PE header of the image: base of code 0x1000.
    fake.poke32(kProc, 0x400000 + 0x3C, 0x80);
    fake.poke32(kProc, 0x400000 + 0x80 + 0x2C, 0x1000);
    // The image name of the main process.
    fake.poke32(kProc, 0x2000, 0x3000);
    fake.pokeString(kProc, 0x3000, kExe);
    cb.OnDebugEvent = [this](int32_t n, const DebugEventRecord& e, TDllInfo* dll,
                             const std::string& details, uint8_t severity) {
      std::lock_guard lock(mutex);
      log.push_back(std::to_string(n) + "|" + DebugEventName(e.dwDebugEventCode) + "|" + details +
                    "|" + std::to_string(severity) + (dll ? "|" + dll->Name : ""));
    };
    cb.OnThreadCount = [this](int32_t c) { threadCounts.push_back(c); };
    cb.OnProcessCount = [this](int32_t c) { processCounts.push_back(c); };
    cb.OnExceptionCount = [this](int32_t c) { exceptionCounts.push_back(c); };
    cb.OnStackOverflow = [this](bool) { ++overflows; };
    cb.OnLastChance = [this](bool) { ++lastChances; };
    cb.OnWarning = [this](const std::string& w) { warnings.push_back(w); };
    cb.OnStackInfo = [this](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
      stackInfo = {a, b, c, d};
    };
  }
  void TearDown() override {
    engineShutdown(nullptr);
    std::filesystem::remove_all(logDir);
  }

  /// The initial thread's stack holds two return addresses, each just behind a direct
  /// call in the executable: 0x401115 at 0x12F010 and 0x401125 at 0x12F020.
  void prepareInitialThreadStack() {
    ThreadContext ctx{};
    ctx.Esp = 0x0012F000;
    fake.contexts[kThread] = ctx;
    fake.tebs[kThread] = 0x7FFDF000;
    StackInfoBlock block{};
    block.StackBase = 0x00130000;
    block.StackLimit = 0x0012E000;
    fake.poke(kProc, 0x7FFDF000, &block, sizeof block);
    std::vector<uint8_t> code(0x40, 0x90);
    code[0x10] = 0xE8;
    code[0x20] = 0xE8;
    fake.poke(kProc, 0x401100, code.data(), code.size());
    std::vector<uint8_t> zeros(0x2000, 0);
    fake.poke(kProc, 0x0012E000, zeros.data(), zeros.size());
    fake.poke32(kProc, 0x0012F010, 0x401115);
    fake.poke32(kProc, 0x0012F020, 0x401125);
  }

  void queueStart() {
    fake.queueEvent(makeCreateProcess(kPid, kTid, kProc, kThread, 0x400000, 0x401234, 0x2000));
  }

  /// Starts a session over the queued events, waits until every one has been continued,
  /// stops it and waits for its end.
  void runAll(size_t events, MinidumpKind dumpKind = MinidumpKind::Normal) {
    DebugRun(
        kExe, "-x 1", logDir.string() + "/", cb, [this](TDebugThread&) { ++terminates; }, false,
        dumpKind);
    ASSERT_TRUE(waitUntil(
        [&] { return fake.continueCount() >= events || CurrentDebugThread->Finished(); }));
    DebugStop();
    CurrentDebugThread->WaitFor();
  }

  std::vector<uint32_t> statuses() const {
    std::vector<uint32_t> out;
    for (const auto& c : fake.continues) out.push_back(c.status);
    return out;
  }

  std::filesystem::path logDir;
  FakePlatform fake;
  DirectSync sync;
  TDebugCallbacks cb;
  std::mutex mutex;
  std::vector<std::string> log, warnings;
  std::vector<int32_t> threadCounts, processCounts, exceptionCounts;
  int overflows = 0, lastChances = 0, terminates = 0;
  std::vector<uint32_t> stackInfo;
};

TEST_F(SessionTest, StartedExecutableFirstEventsAndContinueStatuses) {
  queueStart();
  fake.poke32(kProc, 0x2100, 0x3100);
  fake.pokeString(kProc, 0x3100, "C:\\windows\\system32\\kernel32.dll");
  fake.queueEvent(makeLoadDll(kPid, kTid, 0x44, 0x7B000000, 0x2100, 0));
  fake.queueEvent(makeException(kPid, kTid, kExceptionBreakpoint, 0x7BC56490, true));
  fake.queueEvent(makeException(kPid, kTid, kExceptionAccessViolation, 0x401500, true, 0, {0, 0}));
  fake.queueEvent(makeException(kPid, kTid, kExceptionAccessViolation, 0x401500, false, 0, {0, 0}));
  fake.queueEvent(makeExitProcess(kPid, kTid, 0xC0000005));
  runAll(6);

  TDebugThread& s = *CurrentDebugThread;
  EXPECT_EQ(s.ErrorText, "");
  ASSERT_EQ(fake.commandLines.size(), 1u);
  EXPECT_EQ(fake.commandLines[0], std::string(kExe) + " -x 1");
  EXPECT_EQ(statuses(), (std::vector<uint32_t>{kDbgContinue, kDbgContinue, kDbgContinue,
                                               kDbgExceptionNotHandled, kDbgExceptionNotHandled,
                                               kDbgContinue}));
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0], "1|Create process||0");
  EXPECT_EQ(log[1], "2|Load Dll|$7B000000|0|C:\\windows\\system32\\kernel32.dll");
  EXPECT_EQ(log[2], "3|Exception|Addr:$7BC56490 Err:$80000003|0");
  EXPECT_EQ(log[3], "4|Exception|Addr:$00401500 Err:$C0000005|1");
  EXPECT_EQ(log[4], "5|Exception|Addr:$00401500 Err:$C0000005|2");
  EXPECT_EQ(log[5], "6|Exit process|Exit code $C0000005|0");

  ASSERT_EQ(DebugEvents->count(), 6u);
  EXPECT_EQ(DebugEvents->at(0)->Info, kExe);
  EXPECT_EQ(DebugEvents->at(2)->Info, "Contunuable - Breakpoint in ntdll.dll");
  EXPECT_EQ(DebugEvents->at(3)->Info,
            "Contunuable - Access violation at address 00401500 in module 'sample.exe'. Read of "
            "address 00000000 in sample.exe");
  EXPECT_EQ(DebugEvents->at(5)->Info, kExe);
  EXPECT_EQ(s.MainProcessId, kPid);
  EXPECT_EQ(s.ProcessHandle, kProc);
  EXPECT_EQ(s.CodeBase.load(), 0x401000u);
  EXPECT_EQ(s.MainImageAddress, 0x401234u);
  EXPECT_EQ(s.ExceptionCount, 3);
  EXPECT_EQ(exceptionCounts, (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(processCounts, (std::vector<int32_t>{1, 0}));
  // 1 at start-up, then one less when the stopped loop ends.
  EXPECT_EQ(threadCounts, (std::vector<int32_t>{1, 0}));
  EXPECT_EQ(lastChances, 1);
  EXPECT_TRUE(s.LastChance);
  // Once at the main process's exit, once when the loop has ended.
  EXPECT_EQ(terminates, 2);
  EXPECT_EQ(UsedProcesses->count(), 0u);
}

TEST_F(SessionTest, TextsOfEveryEventCode) {
  queueStart();
  fake.queueEvent(makeCreateThread(kPid, 0x700, 0x120, 0x7FFDE000, 0x401800));
  fake.queueEvent(makeExitThread(kPid, 0x700, 3));
  DebugEventRecord rip = makeEvent(RIP_EVENT_CODE, kPid, kTid);
  rip.u.RipInfo = {0x57, 2};
  fake.queueEvent(rip);
  fake.queueEvent(makeEvent(12, kPid, kTid));
  fake.queueEvent(makeEvent(0, kPid, kTid));
  fake.queueEvent(makeUnloadDll(kPid, kTid, 0x10000000));
  runAll(7);
  ASSERT_EQ(log.size(), 7u);
  EXPECT_EQ(log[1], "2|Create thread|Local base $7FFDE000|0");
  EXPECT_EQ(log[2], "3|Exit thread|Exit code $00000003|0");
  EXPECT_EQ(DebugEvents->at(2)->Info, "$00000700");
  EXPECT_EQ(log[3], "4|Rip info|$00000002:$00000057|0");
  EXPECT_EQ(log[4], "5|Unknown|Unknown $0000000C|0");
  EXPECT_EQ(log[5], "6|Unknown|Unknown $00000000|0");
  EXPECT_EQ(log[6], "7|Unload Dll|$10000000|0|Unknown");
  EXPECT_EQ(threadCounts, (std::vector<int32_t>{1, 2, 1, 0}));
  EXPECT_EQ(UsedThreads->count(), 0u);
  // The process never exited: it stays registered for the balance check.
  EXPECT_EQ(UsedProcesses->count(), 1u);
}

TEST_F(SessionTest, UnloadIsNamedAfterTheLatestLoadAtThatBase) {
  queueStart();
  fake.poke32(kProc, 0x2100, 0x3100);
  fake.pokeString(kProc, 0x3100, "first.dll");
  fake.poke32(kProc, 0x2200, 0x3200);
  fake.pokeString(kProc, 0x3200, "second.dll");
  fake.queueEvent(makeLoadDll(kPid, kTid, 0, 0x10000000, 0x2100, 0));
  fake.queueEvent(makeUnloadDll(kPid, kTid, 0x10000000));
  fake.queueEvent(makeLoadDll(kPid, kTid, 0, 0x10000000, 0x2200, 0));
  fake.queueEvent(makeUnloadDll(kPid, kTid, 0x10000000));
  runAll(5);
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[2], "3|Unload Dll|$10000000|0|first.dll");
  EXPECT_EQ(log[4], "5|Unload Dll|$10000000|0|second.dll");
}

TEST_F(SessionTest, SeverityAndStackOverflowRules) {
  queueStart();
  // Outside the executable: overflow sets 2 and notifies once.
  fake.queueEvent(makeException(kPid, kTid, kExceptionStackOverflow, 0x7BC01000, true));
  // Inside the executable: a second overflow gets 1, no new notification.
  fake.queueEvent(makeException(kPid, kTid, kExceptionStackOverflow, 0x401000, true));
  // Unknown module.
  fake.queueEvent(makeException(kPid, kTid, 0xE0000001, 0x12345678, true, 1));
  runAll(4);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1].back(), '2');
  EXPECT_EQ(log[2].back(), '1');
  EXPECT_EQ(log[3].back(), '0');
  EXPECT_EQ(overflows, 1);
  EXPECT_TRUE(CurrentDebugThread->StackOverflow);
  EXPECT_EQ(DebugEvents->at(3)->Info, "Non continuable - Unknown Error, (E0000001) in Unknown");
  EXPECT_EQ(statuses()[1], kDbgExceptionNotHandled);
}

TEST_F(SessionTest, LastChanceStoresTheFaultingThreadsStackAndRegisters) {
  // The initial thread and a second thread, each with its own stack.
  ThreadContext mainCtx{}, workerCtx{};
  mainCtx.Esp = 0x0012FF00;
  workerCtx.Esp = 0x0022F000;
  workerCtx.Eip = 0x00401500;
  fake.contexts[kThread] = mainCtx;
  fake.contexts[0x120] = workerCtx;
  fake.tebs[kThread] = 0x7FFDF000;
  fake.tebs[0x120] = 0x7FFDE000;
  StackInfoBlock mainBlock{}, workerBlock{};
  mainBlock.StackBase = 0x00130000;
  mainBlock.StackLimit = 0x0012E000;
  workerBlock.StackBase = 0x00230000;
  workerBlock.StackLimit = 0x0022E000;
  fake.poke(kProc, 0x7FFDF000, &mainBlock, sizeof mainBlock);
  fake.poke(kProc, 0x7FFDE000, &workerBlock, sizeof workerBlock);
  // Each stack holds one return address just behind a direct call in the executable.
  std::vector<uint8_t> code(0x40, 0x90);
  code[0x10] = 0xE8;  // call at 0x401110, returns to 0x401115
  code[0x20] = 0xE8;  // call at 0x401120, returns to 0x401125
  fake.poke(kProc, 0x401100, code.data(), code.size());
  std::vector<uint8_t> zeros(0x2000, 0);
  fake.poke(kProc, 0x0012E000, zeros.data(), zeros.size());
  fake.poke(kProc, 0x0022E000, zeros.data(), zeros.size());
  fake.poke(kProc, 0x0022F000, zeros.data(), zeros.size());
  fake.poke32(kProc, 0x0012FF10, 0x401115);
  fake.poke32(kProc, 0x0022F010, 0x401125);
  std::vector<std::string> entries;
  cb.OnCallStackEntry = [&](int32_t i, const std::string& a, const std::string& m,
                            const std::string& u, const std::string&, const std::string&,
                            uint8_t flag, const std::string& how) {
    entries.push_back(std::to_string(i) + " " + a + " " + m + " [" + u + "] " + how + " " +
                      std::to_string(flag));
  };

  queueStart();
  fake.queueEvent(makeCreateThread(kPid, 0x700, 0x120, 0x7FFDE000, 0x401800));
  fake.queueEvent(
      makeException(kPid, 0x700, kExceptionAccessViolation, 0x401500, false, 0, {1, 4}));
  runAll(3);

  TDebugThread& s = *CurrentDebugThread;
  // The exception address first; the fake's image has no headers, so no walk: the raw scan.
  EXPECT_EQ(entries, (std::vector<std::string>{"-1 $00401500  [] context 0",
                                               "0 $00401125 sample.exe [] scan 0"}));
  EXPECT_EQ(s.StackModules, "sample.exe\r\n");
  ASSERT_EQ(s.RawStack.size() > 0, true);
  EXPECT_EQ(s.RawStack[0], 0x401125u);
  EXPECT_EQ(DebugEvents->at(2)->CallStack[0].Address, 0x401125u);
  ASSERT_FALSE(s.ErrorLogName.empty()) << s.WarningText;
  EXPECT_EQ(std::filesystem::path(s.ErrorLogName).parent_path(), logDir);
  EXPECT_EQ(s.WarningText,
            "Last chance exception occurred!\r\rException log stored to " + s.ErrorLogName);
  EXPECT_EQ(warnings, (std::vector<std::string>{s.WarningText}));

  auto read = excpack::readExceptionLog(s.ErrorLogName);
  ASSERT_TRUE(read.pack) << read.error;
  excpack::TErrorInfo* error = read.pack->ErrorInfo();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->ErrorMessage, "Fatal exception occurred!");
  EXPECT_EQ(error->ExceptionCode, "$C0000005");
  EXPECT_EQ(error->ErrorAddress, 0x401500u);
  EXPECT_EQ(error->OffsetBase, 0x401000u);
  EXPECT_EQ(error->CurrentThreadId, 0x700u);
  ThreadContext stored;
  std::memcpy(&stored, error->Registers.data(), sizeof stored);
  EXPECT_EQ(stored.Esp, 0x0022F000u);  // the faulting thread's, not the initial one's
  EXPECT_EQ(stored.Eip, 0x00401500u);
  ASSERT_EQ(error->CallStackCount(), 1);
  EXPECT_EQ(error->CallStackItem(0)->OperationPoint, 0x401125u);
  ASSERT_NE(read.pack->AppInfo(), nullptr);
  EXPECT_EQ(read.pack->AppInfo()->ApplicationName(), kExe);
}

TEST_F(SessionTest, FirstChanceStacksAreKeptQuietlyFromPositionOne) {
  prepareInitialThreadStack();
  int published = 0;
  cb.OnCallStackEntry = [&](int32_t, const std::string&, const std::string&, const std::string&,
                            const std::string&, const std::string&, uint8_t,
                            const std::string&) { ++published; };

  queueStart();
  fake.queueEvent(makeException(kPid, kTid, 0xC0000094, 0x401500, true));
  fake.queueEvent(makeException(kPid, kTid, kExceptionBreakpoint, 0x7BC56490, true));
  runAll(3);
  EXPECT_EQ(published, 0);
  const TEventCallStack& stack = DebugEvents->at(1)->CallStack;
  EXPECT_EQ(stack.size(), 32u);
  EXPECT_EQ(stack[0].Address, 0u);  // position 0 is not published
  EXPECT_EQ(stack[1].Address, 0x401125u);
  EXPECT_EQ(stack[1].Module, "sample.exe");
  // Breakpoints are scanned only when asked for.
  EXPECT_EQ(DebugEvents->at(2)->CallStack[1].Address, 0u);
}

TEST_F(SessionTest, TwoLastChancesWarnOnce) {
  queueStart();
  fake.queueEvent(makeException(kPid, kTid, 0xC0000094, 0x401000, false));
  fake.queueEvent(makeException(kPid, kTid, 0xC0000094, 0x401000, false));
  runAll(3);
  EXPECT_EQ(lastChances, 2);
  ASSERT_EQ(warnings.size(), 1u);
  // Two logs, none overwritten, whatever the clock says.
  size_t logs = 0;
  for (const auto& f : std::filesystem::directory_iterator(logDir))
    logs += f.path().extension() == ".err";
  EXPECT_EQ(logs, 2u);
  EXPECT_EQ(DebugEvents->at(1)->Info, "Contunuable - Int Divide by Zero in sample.exe");
}

TEST_F(SessionTest, LastChanceWritesItsMinidumpBesideTheStoredLog) {
  prepareInitialThreadStack();
  queueStart();
  fake.queueEvent(
      makeException(kPid, kTid, kExceptionAccessViolation, 0x401500, false, 0, {0, 0x10}));
  runAll(2, MinidumpKind::FullMemory);

  TLastChanceResults results = CurrentDebugThread->lastChanceResults();
  ASSERT_FALSE(results.ErrorLogName.empty());
  const std::filesystem::path log(results.ErrorLogName);
  ASSERT_EQ(fake.dumps.size(), 1u);
  const FakeDump& dump = fake.dumps[0];
  const std::filesystem::path written(dump.request.path);
  EXPECT_EQ(written.parent_path(), log.parent_path());
  EXPECT_EQ(written.stem(), log.stem());
  EXPECT_EQ(written.extension(), ".dmp");
  EXPECT_EQ(results.DumpName, dump.request.path);
  EXPECT_TRUE(std::filesystem::exists(written));
  // The log was whole under its name before the dump was begun.
  EXPECT_EQ(dump.folderAtWrite, (std::vector<std::string>{log.filename().string()}));
  EXPECT_EQ(dump.request.kind, MinidumpKind::FullMemory);
  EXPECT_EQ(dump.request.process, kProc);
  EXPECT_EQ(dump.request.processId, kPid);
  EXPECT_EQ(dump.request.threadId, kTid);
  EXPECT_EQ(dump.request.thread, kThread);
  EXPECT_EQ(dump.request.context.Esp, 0x0012F000u);
  ASSERT_TRUE(dump.exception.has_value());
  EXPECT_EQ(dump.exception->ExceptionCode, kExceptionAccessViolation);
  EXPECT_EQ(dump.exception->ExceptionAddress, 0x401500u);
  EXPECT_EQ(dump.exception->ExceptionInformation[1], 0x10u);
  EXPECT_EQ(warnings, (std::vector<std::string>{CurrentDebugThread->WarningText}));
}

TEST_F(SessionTest, FailedMinidumpsWarnEachTimeAndKeepTheLogs) {
  fake.dumpFails = "Access is denied.";
  queueStart();
  fake.queueEvent(makeException(kPid, kTid, 0xC0000094, 0x401000, false));
  fake.queueEvent(makeException(kPid, kTid, 0xC0000094, 0x401000, false));
  runAll(3);

  std::vector<std::string> logs;
  for (const auto& f : std::filesystem::directory_iterator(logDir)) {
    EXPECT_EQ(f.path().extension(), ".err") << f.path();
    logs.push_back(f.path().string());
  }
  ASSERT_EQ(logs.size(), 2u);
  ASSERT_EQ(fake.dumps.size(), 2u);
  // The last-chance warning once, as ever; then one for each dump that failed, naming it.
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_EQ(warnings[0].rfind("Last chance exception occurred!\r\rException log stored to ", 0),
            0u);
  for (size_t i = 0; i < 2; ++i) {
    const std::string& path = fake.dumps[i].request.path;
    EXPECT_EQ(warnings[i + 1], "Minidump could not be written to " + path + ": Access is denied.");
    EXPECT_EQ(std::filesystem::path(path).replace_extension(".err"),
              std::filesystem::path(i == 0 ? warnings[0].substr(warnings[0].rfind(' ') + 1)
                                           : CurrentDebugThread->ErrorLogName));
  }
  EXPECT_TRUE(CurrentDebugThread->lastChanceResults().DumpName.empty());
}

TEST_F(SessionTest, SeventhEventCarriesTheStartSnapshotOnlyWhenItCreatesAProcess) {
  ThreadContext ctx{};
  ctx.Esp = 0x0012FF00;
  ctx.SegFs = 0x3B;
  fake.contexts[kThread] = ctx;
  fake.tebs[kThread] = 0x7FFDF000;
  StackInfoBlock block{};
  block.ExceptionList = 0x0012FFB0;
  block.StackBase = 0x00130000;
  block.StackLimit = 0x0012D000;
  fake.poke(kProc, 0x7FFDF000, &block, sizeof block);

  queueStart();
  for (int i = 0; i < 5; ++i) fake.queueEvent(makeEvent(12, kPid, kTid));
  // Seventh event: a child process, which keeps the snapshot text.
  constexpr Handle kChild = 0x300;
  fake.poke32(kChild, 0x2000, 0x3000);
  fake.pokeString(kChild, 0x3000, "C:\\app\\child.exe");
  fake.queueEvent(makeCreateProcess(0x900, 0x904, kChild, 0x304, 0x400000, 0x401000, 0x2000));
  runAll(7);
  ASSERT_EQ(log.size(), 7u);
  EXPECT_EQ(log[6],
            "7|Create process|ExcFrame: $0012FFB0 StackBase: $0012D000 StackTop: $00130000 ESP: "
            "$0012FF00|0");
  EXPECT_EQ(stackInfo, (std::vector<uint32_t>{0x0012FFB0, 0x0012D000, 0x00130000, 0x0012FF00}));
  // The child's name comes from the child's own memory, not the parent's at that address.
  EXPECT_EQ(DebugEvents->at(6)->Info, "C:\\app\\child.exe");
  EXPECT_EQ(processCounts, (std::vector<int32_t>{1, 2}));
  // A child's initial thread is not counted.
  EXPECT_EQ(threadCounts.front(), 1);
}

TEST_F(SessionTest, ChildDebugStringsAreReadThroughTheChildsHandle) {
  constexpr Handle kChild = 0x300;
  queueStart();
  fake.pokeString(kProc, 0x5000, "parent text");
  fake.pokeString(kChild, 0x5000, "child text");
  fake.queueEvent(makeCreateProcess(0x900, 0x904, kChild, 0x304, 0x400000, 0x401000, 0));
  fake.queueEvent(makeDebugString(0x900, 0x904, 0x5000, 11, 0));
  fake.queueEvent(makeDebugString(kPid, kTid, 0x5000, 12, 0));
  runAll(4);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[2], "3|Output debug string|child text|0");
  EXPECT_EQ(log[3], "4|Output debug string|parent text|0");
}

TEST_F(SessionTest, UnreadableDebugStringEndsTheSessionWithoutRecordingIt) {
  queueStart();
  fake.queueEvent(makeDebugString(kPid, kTid, 0x9000, 10, 0));
  runAll(2);
  EXPECT_EQ(CurrentDebugThread->ErrorText.rfind("Debugger error! ", 0), 0u);
  EXPECT_EQ(DebugEvents->count(), 1u);
  EXPECT_EQ(fake.continues.size(), 1u);
}

TEST_F(SessionTest, FailedStartEndsTheSessionWithTheSystemMessage) {
  fake.startResult.reset();
  DebugRun("C:\\missing.exe", "", "", cb, nullptr, false);
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(CurrentDebugThread->ErrorText,
            "Debugger error! The system cannot find the file specified.");
  EXPECT_TRUE(log.empty());
}

TEST_F(SessionTest, FailedWaitAndFailedContinueEndTheSession) {
  fake.failWhenEmpty = true;
  DebugRun(kExe, "", "", cb, nullptr, false);
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(CurrentDebugThread->ErrorText, "Debugger error! fake failure");

  fake.failWhenEmpty = false;
  fake.failContinue = true;
  queueStart();
  DebugRun(kExe, "", "", cb, nullptr, false);
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(CurrentDebugThread->ErrorText, "Debugger error! fake failure");
  EXPECT_EQ(DebugEvents->count(), 1u);
}

TEST_F(SessionTest, FailedAttachEndsTheSession) {
  fake.attachResult = false;
  DebugAttach("", "", 1234, cb, nullptr, false);
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(CurrentDebugThread->ErrorText, "Debugger error! fake failure");
  EXPECT_EQ(CurrentDebugThread->MainProcessId, 0u);
  EXPECT_TRUE(log.empty());
}

TEST_F(SessionTest, HandlerErrorsEndTheSession) {
  cb.OnDebugEvent = [](int32_t, const DebugEventRecord&, TDllInfo*, const std::string&, uint8_t) {
    throw std::runtime_error("list is full");
  };
  queueStart();
  DebugRun(kExe, "", "", cb, nullptr, false);
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(CurrentDebugThread->ErrorText, "Debugger error! list is full");
  EXPECT_TRUE(fake.continues.empty());
}

TEST_F(SessionTest, StopRules) {
  EXPECT_EQ(DebugStop(), 0u);  // no session
  DebugAttach("", "", -1, cb, nullptr, false);
  EXPECT_EQ(CurrentDebugThread, nullptr);
  // A process id from 2^31 up is one like any other.
  DebugAttach("", "", static_cast<int32_t>(0x80000004u), cb, nullptr, false);
  ASSERT_NE(CurrentDebugThread, nullptr);
  EXPECT_EQ(CurrentDebugThread->TargetProcessId, 0x80000004u);
  CurrentDebugThread->Terminate();
  CurrentDebugThread->WaitFor();

  queueStart();
  DebugRun(kExe, "", "", cb, nullptr, false);
  ASSERT_TRUE(waitUntil([&] { return fake.continueCount() == 1; }));
  EXPECT_EQ(DebugStop(), kProc);
  EXPECT_EQ(DebugStop(), 0u);  // already asked to end
  // No further event comes: the stopped worker still ends.
  CurrentDebugThread->WaitFor();
  EXPECT_TRUE(CurrentDebugThread->Finished());
  EXPECT_EQ(CurrentDebugThread->ThreadCount, 0);
}

TEST_F(SessionTest, AttachedSessionDetachesFromItsWorker) {
  fake.queueEvent(makeCreateProcess(kPid, kTid, kProc, kThread, 0x400000, 0, 0));
  DebugAttach("", "", static_cast<int32_t>(kPid), cb, nullptr, false);
  ASSERT_TRUE(waitUntil([&] { return fake.continueCount() == 1; }));
  TDebugThread& s = *CurrentDebugThread;
  EXPECT_TRUE(s.Attached);
  EXPECT_EQ(DebugStop(), 0u);
  EXPECT_TRUE(DebugActiveProcessStopProc(kPid));
  EXPECT_EQ(fake.detached, (std::vector<uint32_t>{kPid}));
  EXPECT_TRUE(s.Finished());
  EXPECT_EQ(s.MainProcessId, kPid);
  EXPECT_EQ(s.ExePath, kExe);  // from the module list
  EXPECT_EQ(s.MainImageAddress, 0x400000u);
  EXPECT_EQ(s.CodeBase.load(), 0x401000u);
  EXPECT_EQ(DebugEvents->at(0)->Info, kExe);
}

TEST_F(SessionTest, ImageFileNamesTheProcessWhenPointerAndModuleListGiveNothing) {
  // Attached: no image-name pointer, no module list yet; the file handle names it.
  constexpr Handle kOther = 0x700, kFile = 0x88, kChildFile = 0x8C;
  fake.imagePaths[kFile] = "C:\\tools\\target.exe";
  fake.imagePaths[kChildFile] = "C:\\tools\\child.exe";
  fake.queueEvent(makeCreateProcess(kPid, kTid, kOther, 0x704, 0x400000, 0, 0, 0, kFile));
  fake.queueEvent(makeCreateProcess(0x900, 0x904, 0x300, 0x304, 0x400000, 0, 0, 0, kChildFile));
  DebugAttach("", "", static_cast<int32_t>(kPid), cb, nullptr, false);
  ASSERT_TRUE(waitUntil([&] { return fake.continueCount() == 2; }));
  DebugStop();
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(CurrentDebugThread->ExePath, "C:\\tools\\target.exe");
  EXPECT_EQ(DebugEvents->at(0)->Info, "C:\\tools\\target.exe");
  EXPECT_EQ(DebugEvents->at(1)->Info, "C:\\tools\\child.exe");
}

TEST_F(SessionTest, SuspendHoldsEventsUntilResume) {
  queueStart();
  DebugRun(kExe, "", "", cb, nullptr, false);
  ASSERT_TRUE(waitUntil([&] { return fake.continueCount() == 1; }));
  DebugSuspend();
  EXPECT_TRUE(CurrentDebugThread->Suspended());
  fake.queueEvent(makeEvent(12, kPid, kTid));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(log.size(), 1u);
  }
  DebugResume();
  EXPECT_FALSE(CurrentDebugThread->Suspended());
  ASSERT_TRUE(waitUntil([&] { return fake.continueCount() == 2; }));
  DebugResume();  // not suspended: nothing happens
  DebugStop();
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(log.size(), 2u);
}

// --- the handles the debug events deliver --------------------------------------------------

// Handles of the main process's creation event, distinct from those CreateProcess gave
// (kProc, kThread), as on a real system; and a child's.
constexpr Handle kEventProc = 0x110, kEventThread = 0x114, kImageFile = 0x118;
constexpr uint32_t kChildPid = 0x900, kChildTid = 0x904;
constexpr Handle kChildProc = 0x300, kChildThread = 0x304, kChildImage = 0x308;
constexpr Address kDllBase = 0x10000000;

/// How often each handle was closed.
std::map<Handle, int> closeCounts(const std::vector<Handle>& closed) {
  std::map<Handle, int> counts;
  for (Handle h : closed) ++counts[h];
  return counts;
}

/// Each handle closed exactly once.
std::map<Handle, int> once(std::initializer_list<Handle> handles) {
  std::map<Handle, int> counts;
  for (Handle h : handles) counts[h] = 1;
  return counts;
}

void queueStartWithEventHandles(FakePlatform& fake) {
  fake.queueEvent(makeCreateProcess(kPid, kTid, kEventProc, kEventThread, 0x400000, 0x401234,
                                    0x2000, 0, kImageFile));
}

void queueChildStart(FakePlatform& fake) {
  fake.queueEvent(makeCreateProcess(kChildPid, kChildTid, kChildProc, kChildThread, 0x400000,
                                    0x401234, 0, 0, kChildImage));
}

TEST_F(SessionTest, SessionClosesTheHandlesItOwnsWhenReplaced) {
  queueStartWithEventHandles(fake);
  fake.queueEvent(makeLoadDll(kPid, kTid, 0x44, kDllBase, 0, 0));
  fake.queueEvent(makeLoadDll(kPid, kTid, 0x48, 0x20000000, 0, 0));
  fake.queueEvent(makeUnloadDll(kPid, kTid, kDllBase));
  runAll(4);
  // The events' handles are closed as the loop ends (0x44 at its unload); those of
  // CreateProcess stay with the session, whose process handle DebugStop hands out.
  EXPECT_EQ(closeCounts(fake.closed), once({0x44, 0x48, kEventProc, kEventThread, kImageFile}));
  // A new session replaces the old one, which lets go of what it still held.
  fake.startResult.reset();
  DebugRun(kExe, "", "", cb, nullptr, false);
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(closeCounts(fake.closed),
            once({0x44, 0x48, kEventProc, kEventThread, kImageFile, kProc, kThread}));
}

TEST_F(SessionTest, StopMidRunClosesEveryHandleTheEventsDeliveredOnce) {
  queueStartWithEventHandles(fake);
  fake.queueEvent(makeCreateThread(kPid, 0x700, 0x120, 0, 0));
  fake.queueEvent(makeCreateThread(kPid, 0x704, 0x124, 0, 0));
  fake.queueEvent(makeExitThread(kPid, 0x704, 0));
  fake.queueEvent(makeLoadDll(kPid, kTid, 0x44, kDllBase, 0, 0));
  queueChildStart(fake);
  fake.queueEvent(makeCreateThread(kChildPid, 0x908, 0x320, 0, 0));
  fake.queueEvent(makeLoadDll(kChildPid, kChildTid, 0x4C, 0x20000000, 0, 0));
  // Stopped with every process still alive: none of their exits is ever continued.
  runAll(8);
  ASSERT_EQ(fake.continueCount(), 8u);
  EXPECT_EQ(CurrentDebugThread->ErrorText, "");
  EXPECT_EQ(closeCounts(fake.closed),
            once({kEventProc, kEventThread, kImageFile, 0x120, 0x124, 0x44, kChildProc,
                  kChildThread, kChildImage, 0x320, 0x4C}));
}

TEST_F(SessionTest, ChildDllAtItsParentsBaseKeepsTheParentsFileAndAnExitShrinksTheTable) {
  queueStartWithEventHandles(fake);
  fake.queueEvent(makeLoadDll(kPid, kTid, 0x44, kDllBase, 0, 0));
  queueChildStart(fake);
  fake.queueEvent(makeLoadDll(kChildPid, kChildTid, 0x4C, kDllBase, 0, 0));
  fake.queueEvent(makeExitProcess(kChildPid, kChildTid, 0));
  // An event after the exit: its continue comes after the exit's handles were let go.
  fake.queueEvent(makeEvent(12, kPid, kTid));
  DebugRun(kExe, "", "", cb, nullptr, false);
  ASSERT_TRUE(waitUntil([&] { return fake.continueCount() >= 6; }));
  // The child's exit closed its handles, its DLL file with them; the parent's file at the
  // same base is still held.
  EXPECT_EQ(closeCounts(fake.closed), once({kChildProc, kChildThread, kChildImage, 0x4C}));
  DebugStop();
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(closeCounts(fake.closed), once({kChildProc, kChildThread, kChildImage, 0x4C, 0x44,
                                            kEventProc, kEventThread, kImageFile}));
}

TEST_F(SessionTest, WhereTheSystemClosesExitedHandlesTheSessionClosesTheRestOnly) {
  // Windows: ContinueDebugEvent of an exit closes the exited thread's or process's
  // handles, DebugActiveProcessStop those of the process let go. Closing them again could
  // close a handle the program has opened since under the same value.
  fake.systemClosesHandles = true;
  queueStartWithEventHandles(fake);
  fake.queueEvent(makeCreateThread(kPid, 0x700, 0x120, 0, 0));
  fake.queueEvent(makeExitThread(kPid, 0x700, 0));
  queueChildStart(fake);
  fake.queueEvent(makeLoadDll(kChildPid, kChildTid, 0x4C, kDllBase, 0, 0));
  fake.queueEvent(makeExitProcess(kChildPid, kChildTid, 0));
  fake.queueEvent(makeCreateThread(kPid, 0x70C, 0x12C, 0, 0));
  runAll(7);
  EXPECT_EQ(closeCounts(fake.closed),
            once({kChildImage, 0x4C, kEventProc, kEventThread, kImageFile, 0x12C}));

  // Detached: the detached process's process and thread handles are the system's.
  fake.closed.clear();
  fake.queueEvent(
      makeCreateProcess(kPid, kTid, kEventProc, kEventThread, 0x400000, 0, 0, 0, kImageFile));
  fake.queueEvent(makeCreateThread(kPid, 0x700, 0x120, 0, 0));
  fake.queueEvent(makeLoadDll(kPid, kTid, 0x44, kDllBase, 0, 0));
  DebugAttach("", "", static_cast<int32_t>(kPid), cb, nullptr, false);
  ASSERT_TRUE(waitUntil([&] { return fake.continueCount() >= 10; }));
  EXPECT_TRUE(DebugActiveProcessStopProc(kPid));
  // The previous session's CreateProcess handles went with it.
  EXPECT_EQ(closeCounts(fake.closed), once({kProc, kThread, kImageFile, 0x44}));
}

TEST_F(SessionTest, DetachAndErrorsCloseTheHandlesToo) {
  // Wine: nothing closes them but the session.
  fake.queueEvent(
      makeCreateProcess(kPid, kTid, kEventProc, kEventThread, 0x400000, 0, 0, 0, kImageFile));
  fake.queueEvent(makeCreateThread(kPid, 0x700, 0x120, 0, 0));
  fake.queueEvent(makeLoadDll(kPid, kTid, 0x44, kDllBase, 0, 0));
  DebugAttach("", "", static_cast<int32_t>(kPid), cb, nullptr, false);
  ASSERT_TRUE(waitUntil([&] { return fake.continueCount() >= 3; }));
  EXPECT_TRUE(DebugActiveProcessStopProc(kPid));
  EXPECT_EQ(closeCounts(fake.closed), once({kEventProc, kEventThread, kImageFile, 0x120, 0x44}));

  // A failed continue ends the loop with an error: the handle of the event that could not
  // be continued is closed with the others.
  fake.closed.clear();
  fake.failContinue = true;
  fake.queueEvent(makeCreateProcess(kPid, kTid, kEventProc, kEventThread, 0x400000, 0x401234,
                                    0x2000, 0, kImageFile));
  DebugRun(kExe, "", "", cb, nullptr, false);
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(CurrentDebugThread->ErrorText, "Debugger error! fake failure");
  // (kAttachRead: the attached session's own handle, closed as this one replaced it.)
  EXPECT_EQ(closeCounts(fake.closed), once({kAttachRead, kEventProc, kEventThread, kImageFile}));
}

// --- the worker's entry, its start, and the fields the main thread reads -------------------

TEST_F(SessionTest, NoErrorLeavesTheWorkersEntry) {
  // Errors after the loop (here the detach) end the session with their text instead of
  // ending the program.
  fake.detachThrows = "the detach broke";
  fake.queueEvent(makeCreateProcess(kPid, kTid, kProc, kThread, 0x400000, 0, 0));
  DebugAttach(
      "", "", static_cast<int32_t>(kPid), cb, [this](TDebugThread&) { ++terminates; }, false);
  ASSERT_TRUE(waitUntil([&] { return fake.continueCount() == 1; }));
  EXPECT_FALSE(DebugActiveProcessStopProc(kPid));
  EXPECT_TRUE(CurrentDebugThread->Finished());
  EXPECT_EQ(CurrentDebugThread->ErrorText, "Debugger error! the detach broke");
  EXPECT_EQ(terminates, 1);
  // An out-of-memory says so.
  fake.detachThrows.reset();
  cb.OnDebugEvent = [](int32_t, const DebugEventRecord&, TDllInfo*, const std::string&, uint8_t) {
    throw std::bad_alloc();
  };
  queueStart();
  DebugRun(kExe, "", "", cb, nullptr, false);
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(CurrentDebugThread->ErrorText, "Debugger error! Out of memory");
}

TEST_F(SessionTest, AWorkerThatCannotStartEndsTheSessionAtOnce) {
  struct Restore {
    ~Restore() { setWorkerLauncher(nullptr); }
  } restore;
  int launches = 0;
  setWorkerLauncher([&](std::function<void()>) -> std::thread {
    ++launches;
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "no thread");
  });
  std::vector<std::string> ended;
  DebugAttach(
      "", "", static_cast<int32_t>(kPid), cb,
      [&](TDebugThread& s) { ended.push_back(s.ErrorText); }, false);
  TDebugThread& s = *CurrentDebugThread;
  EXPECT_TRUE(s.Finished());
  EXPECT_EQ(s.ErrorText.rfind("Debugger error! no thread", 0), 0u) << s.ErrorText;
  EXPECT_NE(s.ErrorText.find("did not start"), std::string::npos) << s.ErrorText;
  EXPECT_EQ(ended, (std::vector<std::string>{s.ErrorText}));  // told once, at once
  // Nothing to wait for: a detach answers at once instead of waiting for a worker that
  // never ran.
  auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(DebugActiveProcessStopProc(kPid));
  EXPECT_TRUE(s.WaitFor());
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
  s.Start();  // a second start does not try again
  EXPECT_EQ(launches, 1);
  EXPECT_TRUE(fake.commandLines.empty());
}

TEST_F(SessionTest, CodeBaseIsReadWhileTheWorkerWritesIt) {
  // Every process creation of the main process writes the code base; the main thread
  // reads it meanwhile, as the event list's click does (a race without the atomic, which
  // the ThreadSanitizer build reports).
  queueStart();
  fake.endless = makeCreateProcess(kPid, kTid, kProc, kThread, 0x400000, 0x401234, 0x2000);
  DebugRun(kExe, "", "", cb, nullptr, false);
  Address seen = 0;
  // At least 200 writes while reading; on a busy machine this thread may not run at all
  // meanwhile, so it reads on until it has seen a value (the events never end).
  while (fake.continueCount() < 200 || (seen == 0 && fake.continueCount() < 1000000)) {
    const Address codeBase = CurrentDebugThread->CodeBase;
    if (codeBase != 0) seen = codeBase;
  }
  DebugStop();
  CurrentDebugThread->WaitFor();
  EXPECT_EQ(seen, 0x401000u);
}

TEST_F(SessionTest, StackReportingBelongsToItsSession) {
  prepareInitialThreadStack();
  bool ownFlag = false, otherFlag = true;
  cb.OnCallStackEntry = [&](int32_t, const std::string&, const std::string&, const std::string&,
                            const std::string&, const std::string&, uint8_t, const std::string&) {
    TDebugThread other(fake, sync);
    ownFlag = CurrentDebugThread->stackReporting();
    otherFlag = other.stackReporting();
  };
  queueStart();
  fake.queueEvent(makeException(kPid, kTid, kExceptionAccessViolation, 0x401500, false, 0, {0, 0}));
  runAll(2);
  EXPECT_TRUE(ownFlag);     // the session publishing
  EXPECT_FALSE(otherFlag);  // any other session is not
  EXPECT_FALSE(CurrentDebugThread->stackReporting());
}

TEST_F(SessionTest, BalanceCheckWarnsOncePerList) {
  queueStart();
  fake.queueEvent(makeCreateThread(kPid, 0x700, 0x120, 0, 0));
  fake.queueEvent(makeCreateThread(kPid, 0x704, 0x124, 0, 0));
  runAll(3);
  std::vector<std::string> boxes;
  engineShutdown([&](const std::string& t) { boxes.push_back(t); });
  EXPECT_EQ(boxes,
            (std::vector<std::string>{"Unbalanced call between CreateThread / ExitThread!",
                                      "Unbalanced call between CreateProcess / ExitProcess!"}));
  engineStartup();
  std::vector<std::string> none;
  engineShutdown([&](const std::string& t) { none.push_back(t); });
  EXPECT_TRUE(none.empty());
  engineStartup();
}

TEST_F(SessionTest, QueueHandOffRunsNotificationsOnThePumpingThread) {
  QueueSync queue;
  setEnginePlatform(&fake, &queue);
  std::thread::id mainId = std::this_thread::get_id(), seen;
  cb.OnDebugEvent = [&](int32_t, const DebugEventRecord&, TDllInfo*, const std::string&, uint8_t) {
    seen = std::this_thread::get_id();
  };
  queueStart();
  DebugRun(kExe, "", "", cb, nullptr, false);
  while (fake.continueCount() == 0) queue.pump(10);
  DebugStop();
  while (!CurrentDebugThread->Finished()) queue.pump(10);
  EXPECT_EQ(seen, mainId);
  EXPECT_GE(queue.handled(), 3);  // thread count, process count, event, ...
}

// --- the lifecycle under a main-thread hand-off ------------------------------------------
//
// The notifications go through a queue that this test thread pumps, as a window's message
// loop would, and every notification and OnTerminate is assigned. A deadlock would hang
// the test program, so each test runs under a watchdog that fails it instead.

/// Ends the test program with a failure when the scope is not left within the limit.
class Watchdog {
 public:
  explicit Watchdog(const char* what, int seconds = 20)
      : thread_([this, what, seconds] {
          std::unique_lock lock(mutex_);
          if (!left_.wait_for(lock, std::chrono::seconds(seconds), [&] { return done_; })) {
            std::fprintf(stderr, "watchdog: %s did not finish within %d s (a deadlock)\n", what,
                         seconds);
            std::fflush(stderr);
            std::_Exit(3);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    left_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  bool done_ = false;
  std::thread thread_;
};

class HandOffTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    setEnginePlatform(&fake, &queue);
    cb.OnCallStackEntry = [this](int32_t, const std::string&, const std::string&,
                                 const std::string&, const std::string&, const std::string&,
                                 uint8_t, const std::string&) { ++entries; };
    onTerminate = [this](TDebugThread&) { ++terminates; };
  }

  /// Pumps the hand-off until pred holds (false after 10 s).
  template <class Pred>
  bool pumpUntil(Pred pred) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      queue.pump(5);
    }
    return true;
  }

  void pumpFor(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) queue.pump(5);
  }

  size_t events() {
    std::lock_guard lock(mutex);
    return log.size();
  }

  /// A debuggee that writes debug strings without pause.
  void streamDebugStrings() {
    fake.pokeString(kProc, 0x5000, "tick");
    fake.pokeString(kAttachRead, 0x5000, "tick");
    fake.endless = makeDebugString(kPid, kTid, 0x5000, 5, 0);
  }

  QueueSync queue;
  TNotifyEvent onTerminate;
  int entries = 0;
};

TEST_F(HandOffTest, StopWhileEventsStreamEndsTheSession) {
  Watchdog watchdog("stop while events stream");
  queueStart();
  streamDebugStrings();
  DebugRun(kExe, "", logDir.string(), cb, onTerminate, false);
  ASSERT_TRUE(pumpUntil([&] { return events() >= 50; }));
  EXPECT_EQ(DebugStop(), kProc);
  // The worker still owes its last thread count and OnTerminate: the wait serves them.
  EXPECT_TRUE(CurrentDebugThread->WaitFor());
  EXPECT_TRUE(CurrentDebugThread->Finished());
  EXPECT_EQ(CurrentDebugThread->ErrorText, "");
  EXPECT_EQ(threadCounts.back(), 0);
  EXPECT_EQ(terminates, 1);  // only the loop's end: the debuggee never exited
  // Every recorded event was delivered, and none after the stop was seen.
  EXPECT_EQ(events(), DebugEvents->count());
}

TEST_F(HandOffTest, DetachAfterStopIsNeverLost) {
  Watchdog watchdog("stop then detach");
  // Right after the stop, and after a pause in which the worker may already have left its
  // loop and ended.
  for (int pauseMs : {0, 150}) {
    SCOPED_TRACE(pauseMs);
    fake.detached.clear();
    fake.killOnExit.clear();
    fake.queueEvent(makeCreateProcess(kPid, kTid, kProc, kThread, 0x400000, 0, 0));
    streamDebugStrings();
    DebugAttach("", logDir.string(), static_cast<int32_t>(kPid), cb, onTerminate, false);
    ASSERT_TRUE(pumpUntil([&] { return fake.continueCount() >= 20; }));
    EXPECT_EQ(DebugStop(), 0u);
    pumpFor(pauseMs);
    EXPECT_TRUE(DebugActiveProcessStopProc(kPid));
    TDebugThread& s = *CurrentDebugThread;
    EXPECT_TRUE(s.WaitFor());
    EXPECT_EQ(fake.detached, (std::vector<uint32_t>{kPid}));
    // Whatever happens to Ostrel, the attached program is not killed with it.
    EXPECT_EQ(fake.killOnExit, (std::vector<bool>{false}));
    EXPECT_FALSE(DebugActiveProcessStopProc(kPid + 1));
  }
}

TEST_F(HandOffTest, ShutdownWithASessionRunningMutesAndEndsIt) {
  Watchdog watchdog("shutdown with a running session");
  queueStart();
  streamDebugStrings();
  DebugRun(kExe, "", logDir.string(), cb, onTerminate, false);
  ASSERT_TRUE(pumpUntil([&] { return events() >= 20; }));
  const size_t before = events();
  const int terminatesBefore = terminates;
  // No pumping here: the worker is likely blocked in a hand-off when shutdown begins.
  std::vector<std::string> boxes;
  engineShutdown([&](const std::string& text) { boxes.push_back(text); });
  EXPECT_EQ(CurrentDebugThread, nullptr);
  EXPECT_EQ(DebugEvents, nullptr);
  // Muted: nothing of the ending session reached a handler during the shutdown.
  EXPECT_EQ(events(), before);
  EXPECT_EQ(terminates, terminatesBefore);
  EXPECT_EQ(boxes,
            (std::vector<std::string>{"Unbalanced call between CreateProcess / ExitProcess!"}));
  engineStartup();
}

TEST_F(HandOffTest, StopWhileSuspendedDeliversNoHeldEvent) {
  Watchdog watchdog("stop while suspended");
  queueStart();
  DebugRun(kExe, "", logDir.string(), cb, onTerminate, false);
  ASSERT_TRUE(pumpUntil([&] { return fake.continueCount() == 1; }));
  DebugSuspend();
  fake.queueEvent(makeEvent(12, kPid, kTid));
  // The worker takes the event and holds it at its gate.
  ASSERT_TRUE(pumpUntil([&] { return fake.pendingEvents() == 0; }));
  pumpFor(50);
  EXPECT_EQ(DebugStop(), kProc);
  EXPECT_TRUE(CurrentDebugThread->WaitFor());
  EXPECT_EQ(events(), 1u);
  EXPECT_EQ(DebugEvents->count(), 1u);
  // Not left stopped: the held event was continued, as it would have been.
  EXPECT_EQ(fake.continueCount(), 2u);
  EXPECT_EQ(threadCounts.back(), 0);
}

TEST_F(HandOffTest, ThrowingNotificationDuringAPublicationClearsTheReportingFlag) {
  Watchdog watchdog("throwing publication");
  prepareInitialThreadStack();
  bool reportingSeen = false;
  cb.OnCallStackEntry = [&](int32_t, const std::string&, const std::string&, const std::string&,
                            const std::string&, const std::string&, uint8_t, const std::string&) {
    reportingSeen = CurrentDebugThread->stackReporting();
    throw std::runtime_error("list is gone");
  };
  queueStart();
  fake.queueEvent(makeException(kPid, kTid, kExceptionAccessViolation, 0x401500, false, 0, {0, 0}));
  DebugRun(kExe, "", logDir.string(), cb, onTerminate, false);
  EXPECT_TRUE(CurrentDebugThread->WaitFor());
  EXPECT_TRUE(reportingSeen);
  EXPECT_FALSE(CurrentDebugThread->stackReporting());
  EXPECT_EQ(CurrentDebugThread->ErrorText, "Debugger error! list is gone");
}

TEST_F(HandOffTest, WaitingInsideOwnNotificationReturnsInsteadOfHanging) {
  Watchdog watchdog("wait inside a notification");
  fake.queueEvent(makeCreateProcess(kPid, kTid, kProc, kThread, 0x400000, 0, 0));
  streamDebugStrings();
  bool waited = true, detached = true;
  cb.OnDebugEvent = [&](int32_t n, const DebugEventRecord&, TDllInfo*, const std::string&,
                        uint8_t) {
    if (n != 5) return;
    // A handler that closes the program: the worker waits for this very call to return.
    DebugStop();
    waited = CurrentDebugThread->WaitFor();
    detached = DebugActiveProcessStopProc(kPid);
  };
  DebugAttach("", logDir.string(), static_cast<int32_t>(kPid), cb, onTerminate, false);
  ASSERT_TRUE(pumpUntil([&] { return CurrentDebugThread->Finished(); }));
  EXPECT_FALSE(waited);
  EXPECT_FALSE(detached);  // not known yet inside the call
  EXPECT_TRUE(CurrentDebugThread->WaitFor());
  EXPECT_EQ(fake.detached, (std::vector<uint32_t>{kPid}));  // and still done
}

}  // namespace
