// A dump written by the system's own writer (dbghelp's MiniDumpWriteDump, called here as a
// debugger would at a last chance) read back: the exception, the threads the debugger saw,
// the modules, and a walk of the crashed thread that follows the sample's frame chain.
// With OSTREL_MINIDUMP_OUT set, the dump and the reader's view of its threads and modules
// are left in that folder for the outside reader's comparison (minidump_oracle.sh).
#include <gtest/gtest.h>
#include <windows.h>
// dbghelp.h needs windows.h first.
#include <dbghelp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "debuggee_codes.h"
#include "minidump/dump_memory_source.h"
#include "minidump/minidump.h"
#include "report/dump_report.h"
#include "stack/pe_exports.h"
#include "stack/stack_walker.h"

namespace ostrel {
namespace {

constexpr DWORD kAccessViolation = 0xC0000005;

struct Written {
  DWORD processId = 0, threadId = 0;
  uint32_t address = 0, exeBase = 0;
  std::set<DWORD> threads;  // alive when the dump was written
  std::set<uint32_t> moduleBases;
  std::map<uint32_t, std::string> images;  // each module's image as the process held it
};

/// The image at base as the process holds it; pages it cannot read stay zero.
std::string processImage(HANDLE process, uint32_t base) {
  char headers[0x400] = {};
  SIZE_T got = 0;
  const auto at = reinterpret_cast<const void*>(uintptr_t{base});
  if (!ReadProcessMemory(process, at, headers, sizeof headers, &got) || got != sizeof headers)
    return {};
  uint32_t pe = 0, size = 0;
  std::memcpy(&pe, headers + 0x3C, 4);
  if (pe > sizeof headers - 24 - 60) return {};
  std::memcpy(&size, headers + pe + 24 + 56, 4);
  std::string image(size, '\0');
  for (uint32_t page = 0; page < size; page += 0x1000) {
    ReadProcessMemory(process, reinterpret_cast<const void*>(uintptr_t{base} + page),
                      image.data() + page, std::min<uint32_t>(0x1000, size - page), &got);
  }
  return image;
}

/// Runs a crash of the sample (the framed one unless told) under debugging and writes a
/// normal dump at its last chance.
Written writeDump(const std::string& path, const std::string& scenario = "framed-av") {
  Written w;
  std::string command = std::string("\"") + OSTREL_DBG_SAMPLE + "\" " + scenario;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                      nullptr, nullptr, &si, &pi)) {
    ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
    return w;
  }
  w.processId = pi.dwProcessId;
  bool written = false, done = false;
  std::set<DWORD> live;
  while (!done) {
    DEBUG_EVENT e{};
    if (!WaitForDebugEvent(&e, 60000)) {
      ADD_FAILURE() << "no debug event";
      TerminateProcess(pi.hProcess, 1);
      break;
    }
    DWORD status = DBG_CONTINUE;
    switch (e.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        live.insert(e.dwThreadId);
        w.exeBase =
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e.u.CreateProcessInfo.lpBaseOfImage));
        w.moduleBases.insert(w.exeBase);
        if (e.u.CreateProcessInfo.hFile) CloseHandle(e.u.CreateProcessInfo.hFile);
        break;
      case CREATE_THREAD_DEBUG_EVENT:
        live.insert(e.dwThreadId);
        break;
      case EXIT_THREAD_DEBUG_EVENT:
        live.erase(e.dwThreadId);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        w.moduleBases.insert(
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e.u.LoadDll.lpBaseOfDll)));
        if (e.u.LoadDll.hFile) CloseHandle(e.u.LoadDll.hFile);
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        done = true;
        break;
      case EXCEPTION_DEBUG_EVENT: {
        const EXCEPTION_RECORD& r = e.u.Exception.ExceptionRecord;
        if (r.ExceptionCode != kAccessViolation) break;
        if (e.u.Exception.dwFirstChance) {
          status = DBG_EXCEPTION_NOT_HANDLED;
          break;
        }
        HANDLE thread = OpenThread(THREAD_ALL_ACCESS, FALSE, e.dwThreadId);
        CONTEXT context{};
        context.ContextFlags = CONTEXT_FULL;
        GetThreadContext(thread, &context);
        EXCEPTION_RECORD record = r;
        EXCEPTION_POINTERS pointers{&record, &context};
        MINIDUMP_EXCEPTION_INFORMATION info{e.dwThreadId, &pointers, FALSE};
        HANDLE file =
            CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        written = MiniDumpWriteDump(pi.hProcess, pi.dwProcessId, file, MiniDumpNormal, &info,
                                    nullptr, nullptr) != FALSE;
        CloseHandle(file);
        CloseHandle(thread);
        w.threadId = e.dwThreadId;
        w.threads = live;
        w.address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(r.ExceptionAddress));
        for (uint32_t base : w.moduleBases) w.images[base] = processImage(pi.hProcess, base);
        TerminateProcess(pi.hProcess, 1);
        break;
      }
      default:
        break;
    }
    ContinueDebugEvent(e.dwProcessId, e.dwThreadId, status);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_TRUE(written) << "MiniDumpWriteDump failed";
  return w;
}

/// The walk, for a failure's message.
std::string describe(const std::vector<StackEntry>& walk, const Minidump& d, DumpMemorySource& s) {
  std::ostringstream out;
  out << std::hex;
  for (const DumpModule& m : d.modules) out << m.base << " " << m.name << "\n";
  out << "stack " << s.stackRange()->low << "-" << s.stackRange()->high << "\n";
  for (const StackEntry& e : walk)
    out << e.address << " @" << e.position << " " << foundByName(e.foundBy) << "\n";
  return out.str();
}

TEST(WineMinidump, ADumpOfTheSystemsWriterReadsBackAndItsCrashedThreadWalks) {
  const char* outDir = std::getenv("OSTREL_MINIDUMP_OUT");
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string path = std::string(outDir ? outDir : temp) + "\\wine_written.dmp";
  const Written w = writeDump(path);
  ASSERT_NE(w.threadId, 0u);

  std::string error;
  std::unique_ptr<Minidump> d = Minidump::open(path, error);
  ASSERT_TRUE(d) << error;
  ASSERT_TRUE(d->hasSystemInfo);
  EXPECT_EQ(d->systemInfo.processorArchitecture, 0);
  ASSERT_TRUE(d->hasException);
  EXPECT_EQ(d->exception.code, kAccessViolation);
  EXPECT_EQ(d->exception.threadId, w.threadId);
  EXPECT_EQ(d->exception.address, w.address);
  EXPECT_TRUE(d->exception.context.isX86);
  EXPECT_EQ(d->exception.context.eip, w.address);
  std::set<DWORD> threads;
  for (const DumpThread& t : d->threads) threads.insert(t.id);
  EXPECT_EQ(threads, w.threads);
  const DumpModule* exe = d->moduleAt(w.exeBase);
  ASSERT_NE(exe, nullptr);
  EXPECT_EQ(exe->base, w.exeBase);
  EXPECT_NE(exe->name.find("dbg_sample.exe"), std::string::npos) << exe->name;
  EXPECT_NE(d->moduleAt(w.address), nullptr);

  // The crashed thread, walked over the dump with the module files for the code: the
  // sample's framed recursion is a chain of frames.
  const DumpThread* crashed = d->thread(w.threadId);
  ASSERT_NE(crashed, nullptr);
  DumpMemorySource source(*d, crashed);
  report::DumpModuleFiles files(path, *d, {});
  source.setImageReader([&files](const DumpModule& m, uint32_t rva, void* out, uint32_t n) {
    return files.readImage(m, rva, out, n);
  });
  const DumpContext& c = d->exception.context;
  ASSERT_TRUE(source.stackRange());
  EXPECT_TRUE(c.esp >= source.stackRange()->low && c.esp < source.stackRange()->high);
  const std::vector<StackEntry> walk = StackWalker(source).walk({c.eip, c.esp, c.ebp}, 200);
  int frames = 0;
  for (const StackEntry& e : walk)
    frames += e.foundBy == FoundBy::Frame && d->moduleAt(e.address) == exe;
  EXPECT_GE(frames, kFramedDepth) << describe(walk, *d, source);

  if (outDir != nullptr) {
    std::ofstream view(std::string(outDir) + "\\wine_written.txt");
    for (const DumpThread& t : d->threads) view << "thread " << std::hex << t.id << "\n";
    for (const DumpModule& m : d->modules)
      view << "module " << std::hex << m.base << " " << m.size << " " << m.name << "\n";
  } else {
    DeleteFileA(path.c_str());
  }
}

// Threads waiting in the same system call: the writer saves the code around each thread's
// instruction pointer, the same bytes once per thread, and the dump must still read.
TEST(WineMinidump, ADumpOfThreadsWaitingAtTheSameAddressReadsBack) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string path = std::string(temp) + "\\wine_written_threads.dmp";
  const Written w = writeDump(path, "threads-av 4");
  ASSERT_NE(w.threadId, 0u);
  std::string error;
  std::unique_ptr<Minidump> d = Minidump::open(path, error);
  DeleteFileA(path.c_str());
  ASSERT_TRUE(d) << error;
  std::set<DWORD> threads;
  for (const DumpThread& t : d->threads) threads.insert(t.id);
  EXPECT_EQ(threads, w.threads);
  ASSERT_EQ(threads.size(), 5u);
  for (size_t i = 1; i < d->memory.size(); ++i)
    EXPECT_GE(d->memory[i].base, d->memory[i - 1].base + d->memory[i - 1].size);
}

}  // namespace
}  // namespace ostrel

namespace ostrel {
namespace {

// The module files, laid out as the loader does it (a DLL moved off its preferred base,
// its imports bound to the other modules of the dump), hold in their code and their import
// tables what the process held there.
TEST(WineMinidump, ModuleImagesBuiltFromTheirFilesMatchTheProcess) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string path = std::string(temp) + "\\wine_images.dmp";
  const Written w = writeDump(path, "dll-map-av");
  ASSERT_NE(w.threadId, 0u);
  std::string error;
  std::unique_ptr<Minidump> d = Minidump::open(path, error);
  ASSERT_TRUE(d) << error;
  report::DumpModuleFiles files(path, *d, {});
  std::set<std::string> compared;
  for (const DumpModule& m : d->modules) {
    const std::string file = files.imagePath(m.name);
    auto held = w.images.find(static_cast<uint32_t>(m.base));
    if (file.empty() || held == w.images.end() || held->second.empty()) continue;
    const PeParseResult pe = parsePeFile(file);
    ASSERT_TRUE(pe.Ok) << file;
    std::vector<PeRange> ranges = pe.Image.ExecutableRanges;
    // And the import address table, from the data directory of the built headers.
    char headers[0x400] = {};
    files.readImage(m, 0, headers, sizeof headers);
    uint32_t peOffset = 0, iat[2] = {};
    std::memcpy(&peOffset, headers + 0x3C, 4);
    ASSERT_LE(peOffset, sizeof headers - 24 - 96 - 13 * 8);
    std::memcpy(iat, headers + peOffset + 24 + 96 + 12 * 8, 8);
    if (iat[1] != 0) ranges.push_back({iat[0], iat[0] + iat[1]});
    std::string name = Symbolizer::fileNameOf(m.name);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    for (const PeRange& r : ranges) {
      std::string built(r.End - r.Begin, '\0');
      ASSERT_EQ(files.readImage(m, r.Begin, built.data(), r.End - r.Begin), r.End - r.Begin);
      const std::string& process = held->second;
      ASSERT_LE(r.End, process.size());
      for (uint32_t i = r.Begin; i < r.End; i += 4) {
        // Compared word by word so that a failure says where.
        const std::string want = process.substr(i, std::min<uint32_t>(4, r.End - i));
        const std::string have = built.substr(i - r.Begin, want.size());
        ASSERT_EQ(have, want) << name << " at RVA 0x" << std::hex << i;
      }
    }
    compared.insert(name);
  }
  DeleteFileA(path.c_str());
  // The sample and its DLL, which lies off its preferred base (both prefer 0x400000).
  EXPECT_TRUE(compared.count("dbg_sample.exe")) << compared.size();
  EXPECT_TRUE(compared.count("dbg_chaindll.dll")) << compared.size();
}

}  // namespace
}  // namespace ostrel
