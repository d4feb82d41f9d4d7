// The real platform against the sample debuggee: what the engine relies on from each
// call, including the places where Wine differs from Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <thread>

#include "debuggee_codes.h"
#include "integration_support.h"
#include "platform/win32/window_sync.h"

namespace ostrel::itest {
namespace {

bool isBreakpoint(const DebugEventRecord& e) {
  return e.dwDebugEventCode == EXCEPTION_DEBUG_EVENT_CODE &&
         e.u.Exception.ExceptionRecord.ExceptionCode == kExceptionBreakpoint;
}

std::string systemFile(const char* name) {
  char dir[MAX_PATH] = {};
  GetSystemDirectoryA(dir, MAX_PATH);
  return std::string(dir) + "\\" + name;
}

std::string readDebugText(Win32Platform& platform, Handle process, const DebugEventRecord& e) {
  const auto& s = e.u.DebugString;
  if (s.fUnicode) {
    std::u16string wide(s.nDebugStringLength, u'\0');
    uint32_t read = 0;
    platform.readMemory(process, s.lpDebugStringData, wide.data(), s.nDebugStringLength * 2, &read);
    wide.resize(std::char_traits<char16_t>::length(wide.c_str()));
    return platform.wideToAnsi(wide);
  }
  std::string text(s.nDebugStringLength, '\0');
  uint32_t read = 0;
  platform.readMemory(process, s.lpDebugStringData, text.data(), s.nDebugStringLength, &read);
  text.resize(std::strlen(text.c_str()));
  return text;
}

class Win32PlatformTest : public ::testing::Test {
 protected:
  Win32Platform platform;
};

TEST_F(Win32PlatformTest, FailedStartGivesTheSystemTextWithoutLineBreak) {
  std::string error;
  auto info = platform.createProcess("Z:\\no\\such\\folder\\missing.exe", &error);
  EXPECT_FALSE(info.has_value());
  ASSERT_FALSE(error.empty());
  EXPECT_NE(error.back(), '\n');
  EXPECT_NE(error.back(), '\r');
  EXPECT_EQ(error.find("Error "), std::string::npos) << "no system text: " << error;
}

TEST_F(Win32PlatformTest, ImageFileModulesMemoryAndLoaderBreakpoint) {
  BareDebugger dbg(platform);
  ASSERT_TRUE(dbg.start(sampleCommand("exit 5")));
  auto created = dbg.next();
  ASSERT_TRUE(created);
  ASSERT_EQ(created->dwDebugEventCode, CREATE_PROCESS_DEBUG_EVENT_CODE);
  EXPECT_EQ(created->dwProcessId, dbg.startInfo().processId);
  const auto& cp = created->u.CreateProcessInfo;
  Handle process = dbg.startInfo().hProcess;

  // The image file handle is a disk file whose header can be read at any offset.
  EXPECT_EQ(platform.fileType(cp.hFile), 1u);
  char header[2] = {};
  EXPECT_EQ(platform.readFileAt(cp.hFile, 0, header, 2), 2u);
  EXPECT_EQ(std::string(header, 2), "MZ");
  uint32_t peOffset = 0;
  ASSERT_EQ(platform.readFileAt(cp.hFile, 0x3C, &peOffset, 4), 4u);
  char signature[4] = {};
  EXPECT_EQ(platform.readFileAt(cp.hFile, peOffset, signature, 4), 4u);
  EXPECT_EQ(std::memcmp(signature, "PE\0\0", 4), 0);
  EXPECT_EQ(platform.readFileAt(cp.hFile, 0x7FFFFFF0u, header, 2), 0u);

  // Wine gives no image-name pointer here and no module list yet; the file handle names it.
  EXPECT_EQ(lower(platform.imageFileName(cp.hFile)), lower(samplePath()));
  EXPECT_EQ(platform.imageFileName(0), "");

  // Memory of the image: a full read, a failed read at 0, and its region.
  char mz[2] = {};
  uint32_t read = 0;
  EXPECT_TRUE(platform.readMemory(process, cp.lpBaseOfImage, mz, 2, &read));
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(std::string(mz, 2), "MZ");
  EXPECT_FALSE(platform.readMemory(process, 0, mz, 2, &read));
  auto region = platform.queryRegion(process, cp.lpStartAddress);
  ASSERT_TRUE(region);
  EXPECT_EQ(region->allocationBase, cp.lpBaseOfImage);
  EXPECT_EQ(region->state, kMemCommit);

  auto bp = dbg.until(isBreakpoint);
  ASSERT_TRUE(bp);
  EXPECT_NE(bp->u.Exception.dwFirstChance, 0u);

  // From the loader breakpoint on, the module list holds the image and names it.
  auto modules = platform.enumProcessModules(process);
  ASSERT_TRUE(modules);
  EXPECT_GT(modules->size(), 2u);
  EXPECT_NE(std::find(modules->begin(), modules->end(), cp.lpBaseOfImage), modules->end());
  EXPECT_TRUE(
      endsWith(lower(platform.moduleFileName(process, cp.lpBaseOfImage)), "dbg_sample.exe"));
  EXPECT_EQ(platform.moduleFileName(process, 0x1000), "");

  // A breakpoint's context points at or just past the trap instruction.
  HANDLE thread = OpenThread(THREAD_ALL_ACCESS, FALSE, bp->dwThreadId);
  ASSERT_NE(thread, nullptr);
  ThreadContext context{};
  context.ContextFlags = kContextI386Full;
  EXPECT_TRUE(
      platform.getThreadContext(static_cast<Handle>(reinterpret_cast<uintptr_t>(thread)), context));
  uint32_t address = bp->u.Exception.ExceptionRecord.ExceptionAddress;
  EXPECT_TRUE(context.Eip == address || context.Eip == address + 1) << std::hex << context.Eip;
  EXPECT_NE(context.Esp, 0u);
  CloseHandle(thread);

  auto exitCode = dbg.runToExit();
  ASSERT_TRUE(exitCode);
  EXPECT_EQ(*exitCode, 5u);
}

TEST_F(Win32PlatformTest, InformationBlockOfEveryThreadIsItsOwn) {
  BareDebugger dbg(platform);
  ASSERT_TRUE(dbg.start(sampleCommand("threads 3")));
  Handle process = dbg.startInfo().hProcess;
  int checked = 0;
  while (auto e = dbg.next()) {
    Handle thread = 0;
    Address expected = 0;
    if (e->dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT_CODE) {
      thread = e->u.CreateProcessInfo.hThread;
      expected = e->u.CreateProcessInfo.lpThreadLocalBase;
    } else if (e->dwDebugEventCode == CREATE_THREAD_DEBUG_EVENT_CODE) {
      thread = e->u.CreateThread.hThread;
      expected = e->u.CreateThread.lpThreadLocalBase;
    } else if (e->dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT_CODE) {
      EXPECT_EQ(e->u.ExitProcess.dwExitCode, static_cast<uint32_t>(kExitThreads));
      break;
    }
    if (thread == 0) continue;
    ThreadContext context{};
    context.ContextFlags = kContextI386Full;
    ASSERT_TRUE(platform.getThreadContext(thread, context));
    auto block = platform.threadInfoBlockAddress(process, thread, context.SegFs);
    ASSERT_TRUE(block);
    EXPECT_EQ(*block, expected);
    // The block names the thread itself and brackets a stack.
    uint32_t words[12] = {};
    uint32_t read = 0;
    ASSERT_TRUE(platform.readMemory(process, *block, words, sizeof words, &read));
    EXPECT_EQ(words[6], *block);
    EXPECT_EQ(words[9], e->dwThreadId);
    EXPECT_GT(words[1], words[2]);
    ++checked;
  }
  EXPECT_EQ(checked, 4);
}

TEST_F(Win32PlatformTest, DebugStringsArriveWholeInBothForms) {
  BareDebugger dbg(platform);
  ASSERT_TRUE(dbg.start(sampleCommand("strings")));
  std::vector<std::string> texts;
  while (auto e = dbg.next()) {
    if (e->dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT_CODE)
      texts.push_back(readDebugText(platform, dbg.startInfo().hProcess, *e));
    if (e->dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT_CODE) break;
  }
  std::wstring wide = kWideText;
  std::string wideAnsi = platform.wideToAnsi(std::u16string(wide.begin(), wide.end()));
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[0], kAnsiText);
  EXPECT_EQ(texts[1], wideAnsi);
  EXPECT_EQ(texts[2], longDebugString());
  EXPECT_EQ(texts[3], longDebugString());
}

TEST_F(Win32PlatformTest, WaitWithoutEventTimesOut) {
  BareDebugger dbg(platform);
  ASSERT_TRUE(dbg.start(sampleCommand("sleep 5")));
  ASSERT_TRUE(dbg.until(isBreakpoint));
  ASSERT_TRUE(dbg.resume());
  // The sample ticks every 100 ms; some 1 ms waits must come back empty.
  int timeouts = 0;
  for (int i = 0; i < 200 && timeouts == 0; ++i) {
    DebugEventRecord e{};
    WaitResult r = platform.waitForDebugEvent(e, 1);
    EXPECT_NE(r, WaitResult::Failed);
    if (r == WaitResult::Timeout)
      ++timeouts;
    else
      platform.continueDebugEvent(e.dwProcessId, e.dwThreadId, kDbgContinue);
  }
  EXPECT_GT(timeouts, 0);
}

TEST_F(Win32PlatformTest, AttachedProcessRunsOnAfterDetach) {
  ASSERT_TRUE(platform.hasDebugActiveProcessStop());
  PlainProcess target(sampleCommand("sleep 30"));
  ASSERT_TRUE(target.started());
  uint32_t pid = static_cast<uint32_t>(std::stoul(target.firstLine()));
  ASSERT_EQ(pid, target.id());
  {
    BareDebugger dbg(platform);
    ASSERT_TRUE(dbg.attach(pid));
    auto created = dbg.next();
    ASSERT_TRUE(created);
    EXPECT_EQ(created->dwDebugEventCode, CREATE_PROCESS_DEBUG_EVENT_CODE);
    Handle process = created->u.CreateProcessInfo.hProcess;
    EXPECT_TRUE(
        platform.moduleFileName(process, created->u.CreateProcessInfo.lpBaseOfImage).size() > 0);
    ASSERT_TRUE(dbg.until(isBreakpoint));
    // The ticks go on while attached.
    ASSERT_TRUE(dbg.until([](const DebugEventRecord& e) {
      return e.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT_CODE;
    }));
    EXPECT_TRUE(dbg.detach());
  }
  Sleep(300);
  EXPECT_TRUE(target.alive());
  EXPECT_FALSE(platform.debugActiveProcessStop(pid)) << "already detached";
}

TEST_F(Win32PlatformTest, FileFactsAndVersionBlocks) {
  std::string sample = samplePath();
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  ASSERT_TRUE(GetFileAttributesExA(sample.c_str(), GetFileExInfoStandard, &attributes));
  auto facts = platform.findFile(sample);
  ASSERT_TRUE(facts);
  EXPECT_EQ(facts->sizeLow, attributes.nFileSizeLow);
  EXPECT_GE(facts->year, 2000);
  EXPECT_TRUE(facts->month >= 1 && facts->month <= 12);
  EXPECT_TRUE(facts->day >= 1 && facts->day <= 31);
  EXPECT_FALSE(platform.findFile("Z:\\no\\such\\file.dll"));
  EXPECT_FALSE(platform.findFile(""));

  // The sample has no version block; the system's own DLLs do.
  EXPECT_FALSE(platform.fileVersionMS(sample));
  EXPECT_FALSE(platform.fileVersionString(sample, "\\StringFileInfo\\040904E4\\FileVersion"));
  std::string kernel = systemFile("kernel32.dll");
  auto ms = platform.fileVersionMS(kernel);
  ASSERT_TRUE(ms);
  EXPECT_GE(*ms >> 16, 5u);
  auto version = platform.fileVersionString(kernel, "\\StringFileInfo\\040904B0\\FileVersion");
  if (!version)
    version = platform.fileVersionString(kernel, "\\StringFileInfo\\040904E4\\FileVersion");
  ASSERT_TRUE(version);
  EXPECT_EQ(version->find('\0'), std::string::npos);
  EXPECT_EQ(version->substr(0, std::to_string(*ms >> 16).size()), std::to_string(*ms >> 16));
  EXPECT_FALSE(platform.fileVersionString(kernel, "\\StringFileInfo\\040904B0\\NoSuchValue"));
}

TEST_F(Win32PlatformTest, TextsFromTheLocale) {
  EXPECT_EQ(platform.wideToAnsi(u""), "");
  EXPECT_EQ(platform.wideToAnsi(u"plain"), "plain");
  // Embedded nulls are kept; the reader decides where a text ends.
  EXPECT_EQ(platform.wideToAnsi(std::u16string_view(u"a\0b", 3)), std::string("a\0b", 3));
  std::u16string longText(70000, u'x');
  EXPECT_EQ(platform.wideToAnsi(longText), std::string(70000, 'x'));
  EXPECT_FALSE(platform.thousandSeparator().empty());
  EXPECT_FALSE(platform.dateSeparator().empty());
  EXPECT_LE(platform.dateSeparator().size(), 4u);
}

TEST(WindowHandOff, CallsRunOnTheOwningThreadAlsoInsideAModalLoop) {
  auto sync = std::make_unique<WindowSync>();
  const DWORD mainThread = GetCurrentThreadId();
  int ran = 0;
  bool allOnMain = true, rethrown = false;
  std::atomic<bool> workerDone{false};
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i)
      sync->invoke([&] {
        ++ran;
        allOnMain = allOnMain && GetCurrentThreadId() == mainThread;
      });
    try {
      sync->invoke([] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error& e) {
      rethrown = std::string(e.what()) == "handler failed";
    }
    // Served by a plain message loop, the way a modal box serves it.
    sync->invoke([&] {
      ++ran;
      workerDone = true;  // seen by the message loop right after this dispatch
    });
  });
  ASSERT_TRUE(sync->serveUntil([&] { return ran >= 200; }, 20000));
  MSG msg;
  while (!workerDone && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  worker.join();
  EXPECT_EQ(ran, 201);
  EXPECT_TRUE(allOnMain);
  EXPECT_TRUE(rethrown);
  EXPECT_EQ(sync->handled(), 202);

  // A call still queued when the window goes ends with an error instead of waiting forever.
  bool refused = false;
  std::thread late([&] {
    try {
      sync->invoke([] {});
    } catch (const std::runtime_error&) {
      refused = true;
    }
  });
  // Waits (without running it) until the call is queued.
  const DWORD start = GetTickCount();
  while (sync->queued() == 0 && GetTickCount() - start < 20000) SwitchToThread();
  EXPECT_EQ(sync->queued(), 1u);
  sync.reset();
  late.join();
  EXPECT_TRUE(refused);
  EXPECT_EQ(ran, 201);
}

}  // namespace
}  // namespace ostrel::itest
