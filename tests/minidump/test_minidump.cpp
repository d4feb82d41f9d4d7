#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "dump_builder.h"
#include "minidump/dump_memory_source.h"
#include "minidump/minidump.h"
#include "stack/stack_walker.h"

namespace ostrel {
namespace {

using test::DumpBuilder;

std::string pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed + (i >> 8)) & 0xFF);
  return s;
}

std::unique_ptr<Minidump> parseBytes(const std::string& bytes, std::string& error) {
  return Minidump::parse(std::make_unique<DumpBytes>(bytes), error);
}

/// The parse's error, or "parsed".
std::string errorOf(const std::string& bytes) {
  std::string error;
  return parseBytes(bytes, error) ? "parsed" : error;
}

std::string hex(uint64_t v) {
  char t[24];
  std::snprintf(t, sizeof t, "0x%llX", static_cast<unsigned long long>(v));
  return t;
}

uint32_t get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(s[at + i])) << 8 * i;
  return v;
}

/// The offset of the first stream of that type, from the dump's directory.
uint32_t streamAt(const std::string& dump, uint32_t type) {
  for (uint32_t i = 0; i < get32(dump, 8); ++i)
    if (get32(dump, 32 + 12 * i) == type) return get32(dump, 40 + 12 * i);
  ADD_FAILURE() << "no stream " << type;
  return 0;
}

/// A crashed process of two threads and two modules, with memory beside the stacks.
DumpBuilder crashedProcess() {
  DumpBuilder b;
  b.processId = 4242, b.createTime = 1765000000, b.userTime = 3, b.kernelTime = 1;
  b.threads.push_back(
      {0x111, 1, 0x20, 2, 0x7FFDE000, 0x12E000, pattern(0x2000, 1), 0x401234, 0x12FF00, 0x12FF40});
  b.threads.push_back({0x222, 0, 0x20, 0, 0x7FFDD000, 0x22E000, pattern(0x1000, 2), 0x7C90E514,
                       0x22EF00, 0x22EF80});
  b.modules.push_back({0x400000, 0x10000, 0xABCD, 0x5F000001, u"C:\\Pr\u00FCfung\\app.exe", true,
                       0x00010002, 0x00030004, 0x00050006, 0x00070008,
                       "RSDS" + pattern(20, 3) + "app.pdb"});
  b.modules.push_back(
      {0x10000000, 0x8000, 0, 0x5F000002, u"C:\\x\\\U0001F600.dll", false, 0, 0, 0, 0, ""});
  b.memory.push_back({0x401000, pattern(64, 4)});
  b.memory.push_back({0x401040, pattern(64, 5)});  // runs on from the one before
  b.memory.push_back({0x500000, pattern(16, 6)});
  b.hasException = true;
  b.exception = {0x111, 0xC0000005, 0, 0x401234, {1, 0x10}, 0x401234, 0x12FF00, 0x12FF40};
  return b;
}

std::filesystem::path writeTemp(const std::string& name, const std::string& bytes) {
  const auto path = std::filesystem::temp_directory_path() / name;
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

TEST(Minidump, ReadsBackWhatWasWrittenFromMemoryAndFromAFile) {
  for (bool memory64 : {false, true}) {
    DumpBuilder b = crashedProcess();
    b.memory64 = memory64;
    // Larger than the file reader's blocks, so reads cross them.
    const std::string big = pattern(150000, 7);
    b.memory.push_back({0x600000, big});
    const std::string bytes = b.write();
    const auto path = writeTemp("ostrel_minidump_test.dmp", bytes);
    for (bool fromFile : {false, true}) {
      SCOPED_TRACE(std::string(memory64 ? "memory64 " : "memory ") + (fromFile ? "file" : "bytes"));
      std::string error;
      std::unique_ptr<Minidump> d =
          fromFile ? Minidump::open(path.string(), error) : parseBytes(bytes, error);
      ASSERT_TRUE(d) << error;
      EXPECT_EQ(d->timestamp, 0x5F000000u);
      ASSERT_TRUE(d->hasSystemInfo);
      EXPECT_EQ(d->systemInfo.majorVersion, 6u);
      EXPECT_EQ(d->systemInfo.buildNumber, 7601u);
      EXPECT_EQ(d->systemInfo.csdVersion, "Service Pack 1");
      ASSERT_TRUE(d->hasMiscInfo && d->miscInfo.hasProcessId && d->miscInfo.hasProcessTimes);
      EXPECT_EQ(d->miscInfo.processId, 4242u);
      EXPECT_EQ(d->miscInfo.processCreateTime, 1765000000u);

      ASSERT_EQ(d->threads.size(), 2u);
      const DumpThread& t = d->threads[0];
      EXPECT_EQ(t.id, 0x111u);
      EXPECT_EQ(t.suspendCount, 1u);
      EXPECT_EQ(t.priority, 2u);
      EXPECT_EQ(t.teb, 0x7FFDE000u);
      EXPECT_EQ(t.stack.base, 0x12E000u);
      EXPECT_EQ(t.stack.size, 0x2000u);
      EXPECT_TRUE(t.context.isX86);
      EXPECT_EQ(t.context.eip, 0x401234u);
      EXPECT_EQ(t.context.esp, 0x12FF00u);
      EXPECT_EQ(t.context.ebp, 0x12FF40u);
      const std::string context = DumpBuilder::x86Context(0x401234, 0x12FF00, 0x12FF40);
      EXPECT_EQ(std::string(t.context.bytes.begin(), t.context.bytes.end()), context);
      EXPECT_EQ(d->thread(0x222), &d->threads[1]);
      EXPECT_EQ(d->threads[1].context.eip, 0x7C90E514u);

      ASSERT_EQ(d->modules.size(), 2u);
      const DumpModule& app = d->modules[0];
      EXPECT_EQ(app.name,
                "C:\\Pr\xC3\xBC"
                "fung\\app.exe");
      EXPECT_EQ(app.base, 0x400000u);
      EXPECT_EQ(app.end(), 0x410000u);
      EXPECT_EQ(app.checksum, 0xABCDu);
      EXPECT_EQ(app.timestamp, 0x5F000001u);
      EXPECT_TRUE(app.hasVersion);
      EXPECT_EQ(app.fileVersionMS, 0x00010002u);
      EXPECT_EQ(app.fileVersionLS, 0x00030004u);
      EXPECT_EQ(app.productVersionLS, 0x00070008u);
      EXPECT_EQ(std::string(app.codeView.begin(), app.codeView.end()), b.modules[0].codeView);
      EXPECT_EQ(d->modules[1].name, "C:\\x\\\xF0\x9F\x98\x80.dll");
      EXPECT_FALSE(d->modules[1].hasVersion);
      EXPECT_TRUE(d->modules[1].codeView.empty());
      EXPECT_EQ(d->moduleAt(0x10007FFF), &d->modules[1]);
      EXPECT_EQ(d->moduleAt(0x10008000), nullptr);

      ASSERT_TRUE(d->hasException);
      EXPECT_EQ(d->exception.threadId, 0x111u);
      EXPECT_EQ(d->exception.code, 0xC0000005u);
      EXPECT_EQ(d->exception.address, 0x401234u);
      EXPECT_EQ(d->exception.parameters, (std::vector<uint64_t>{1, 0x10}));
      EXPECT_EQ(d->exception.context.esp, 0x12FF00u);

      // Adjacent ranges read as one run; a read stops at the first byte no range holds.
      ASSERT_EQ(d->memory.size(), 6u);
      std::string run(0x60, '\0');
      EXPECT_EQ(d->readMemory(0x401030, run.data(), 0x60), 0x50u);
      EXPECT_EQ(run.substr(0, 0x50), b.memory[0].bytes.substr(0x30) + b.memory[1].bytes);
      std::string top(32, '\0');
      EXPECT_EQ(d->readMemory(0x12FFF0, top.data(), 32), 16u);
      EXPECT_EQ(top.substr(0, 16), b.threads[0].stack.substr(0x1FF0));
      EXPECT_EQ(d->readMemory(0x12DFFF, top.data(), 4), 0u);
      std::string all(big.size(), '\0');
      EXPECT_EQ(d->readMemory(0x600000, all.data(), static_cast<uint32_t>(all.size())), big.size());
      EXPECT_EQ(all, big);
      EXPECT_EQ(d->readMemory(0x600000 + 65530, all.data(), 100), 100u);
      EXPECT_EQ(all.substr(0, 100), big.substr(65530, 100));
    }
    std::filesystem::remove(path);
  }
  std::string error;
  EXPECT_EQ(Minidump::open("/no/such/dump.dmp", error), nullptr);
  EXPECT_EQ(error, "cannot open /no/such/dump.dmp");
}

TEST(Minidump, EveryTruncationIsRefusedAsRunningPastTheEnd) {
  for (bool memory64 : {false, true}) {
    DumpBuilder b = crashedProcess();
    b.memory64 = memory64;
    for (auto& t : b.threads) t.stack.resize(0x40);  // a small file: every prefix is parsed
    const std::string bytes = b.write();
    ASSERT_EQ(errorOf(bytes), "parsed");
    // Every byte of the file is referenced, so every shorter prefix is damaged.
    for (size_t n = 0; n < bytes.size(); ++n) {
      const std::string error = errorOf(bytes.substr(0, n));
      const std::string end = n < 32 ? "header: the file has " + std::to_string(n) + " bytes"
                                     : "past the end of the file (" + std::to_string(n) + " bytes)";
      ASSERT_NE(error.find(end), std::string::npos) << n << ": " << error;
    }
  }
}

TEST(Minidump, DamageIsNamedWithWhereItLies) {
  const std::string good = crashedProcess().write();
  const uint32_t size = static_cast<uint32_t>(good.size());
  const std::string end = "the end of the file (" + std::to_string(size) + " bytes)";
  const uint32_t threads = streamAt(good, kDumpThreadList),
                 modules = streamAt(good, kDumpModuleList);
  const uint32_t memory = streamAt(good, kDumpMemoryList),
                 exception = streamAt(good, kDumpException);
  const uint32_t module1Name = get32(good, modules + 4 + 108 + 20);
  const uint32_t module0Name = get32(good, modules + 4 + 20);
  // Memory list entries: the two stacks, then the ranges written after them.
  const uint32_t entry1 = memory + 4 + 16, entry3 = memory + 4 + 3 * 16;

  struct Case {
    const char* name;
    std::function<void(std::string&)> damage;
    std::string error;
  };
  using B = DumpBuilder;
  const std::vector<Case> cases = {
      {"signature", [](std::string& d) { d[0] = 'X'; },
       "header: signature 0x504D4458 at offset 0x0 is not MDMP"},
      {"directory out of range", [&](std::string& d) { B::put32(d, 12, size + 4); },
       "stream directory at offset " + hex(size + 4) + " lies past " + end},
      {"directory runs past", [&](std::string& d) { B::put32(d, 12, size - 20); },
       "stream directory at offset " + hex(size - 20) + " (" + std::to_string(12 * get32(good, 8)) +
           " bytes) runs past " + end},
      {"stream count", [](std::string& d) { B::put32(d, 8, 0x10000); },
       "header: 65536 streams is more than the reader accepts (4096)"},
      {"thread count", [&](std::string& d) { B::put32(d, threads, 0xFFFFFFFF); },
       "thread list: 4294967295 threads is more than the reader accepts (65536)"},
      {"module count beyond its stream", [&](std::string& d) { B::put32(d, modules, 1000); },
       "module list: 1000 entries of 108 bytes need 108004 bytes, the stream has 220"},
      {"name past the end",
       [&](std::string& d) { B::put32(d, modules + 4 + 108 + 20, size + 0x10); },
       "module list: entry 1 name at offset " + hex(size + 0x10) + " lies past " + end},
      {"name too long", [&](std::string& d) { B::put32(d, module0Name, 0x7FFFFFFE); },
       "module list: entry 0 name at offset " + hex(module0Name) +
           " is 2147483646 bytes long, more than the reader accepts (65536)"},
      {"name runs past", [&](std::string& d) { B::put32(d, module1Name, size); },
       "module list: entry 1 name at offset " + hex(module1Name + 4) + " (" + std::to_string(size) +
           " bytes) runs past " + end},
      {"context too long", [&](std::string& d) { B::put32(d, threads + 4 + 40, 0x20000); },
       "thread list: entry 0 context at offset " + hex(get32(good, threads + 4 + 44)) +
           " is 131072 bytes long, more than the reader accepts (65536)"},
      {"memory out of range", [&](std::string& d) { B::put32(d, entry1 + 12, size - 8); },
       "memory list: entry 1 data at offset " + hex(size - 8) + " (4096 bytes) runs past " + end},
      {"memory overlaps", [&](std::string& d) { B::put32(d, entry3, 0x401030); },
       "memory list: range 0x401030 (64 bytes) overlaps range 0x401000 (64 bytes)"},
      {"memory wraps", [&](std::string& d) { B::put64(d, entry3, 0xFFFFFFFFFFFFFFF0ull); },
       "memory list: entry 3 range 0xFFFFFFFFFFFFFFF0 (64 bytes) wraps past the end of the address "
       "space"},
      {"exception parameters", [&](std::string& d) { B::put32(d, exception + 32, 16); },
       "exception: 16 parameters at offset " + hex(exception + 32) + ", at most 15 fit the record"},
  };
  for (const Case& c : cases) {
    std::string d = good;
    c.damage(d);
    EXPECT_EQ(errorOf(d), c.error) << c.name;
  }
  // The same block saved twice is no damage (Wine's writer repeats the code at the
  // instruction pointer of every thread waiting at one place).
  std::string twice = good;
  B::put32(twice, entry3, 0x401000);
  EXPECT_EQ(errorOf(twice), "parsed");

  DumpBuilder b64 = crashedProcess();
  b64.memory64 = true;
  const std::string good64 = b64.write();
  const uint32_t list64 = streamAt(good64, kDumpMemory64List);
  std::string d = good64;
  DumpBuilder::put64(d, list64, uint64_t{1} << 40);
  EXPECT_EQ(errorOf(d),
            "memory64 list: 1099511627776 ranges is more than the reader accepts (4194304)");
  // The second range's size brings the running data offset past 2^64.
  d = good64;
  DumpBuilder::put64(d, list64 + 16 + 16 + 8, 0xFFFFFFFFFFFFFF00ull);
  const uint64_t second = get32(good64, list64 + 8) + 0x2000;
  EXPECT_EQ(
      errorOf(d),
      "memory64 list: entry 1 size 0xFFFFFFFFFFFFFF00 overflows the data offset " + hex(second));
}

// A module whose headers and code are in the dump: main calls f, f calls g, g faults.
TEST(DumpMemorySource, TheWalkerFollowsTheFramesOfADumpedThread) {
  constexpr uint32_t kMain = 0x401000, kF = 0x401100, kG = 0x401200;
  std::string headers(0x400, '\0');
  DumpBuilder::put16(headers, 0, 0x5A4D), DumpBuilder::put32(headers, 0x3C, 0x80);
  DumpBuilder::put32(headers, 0x80, 0x4550), DumpBuilder::put16(headers, 0x84, 0x14C);
  DumpBuilder::put16(headers, 0x86, 2), DumpBuilder::put16(headers, 0x94, 0xE0);
  const size_t sections = 0x80 + 24 + 0xE0;
  headers.replace(sections, 5, ".text");
  DumpBuilder::put32(headers, sections + 8, 0x1000),
      DumpBuilder::put32(headers, sections + 12, 0x1000);
  DumpBuilder::put32(headers, sections + 36, 0x60000020);
  headers.replace(sections + 40, 5, ".data");
  DumpBuilder::put32(headers, sections + 48, 0x1000),
      DumpBuilder::put32(headers, sections + 52, 0x2000);
  DumpBuilder::put32(headers, sections + 76, 0xC0000040);

  std::string code(0x2000, '\0');  // .text and .data
  auto call = [&code](uint32_t site, uint32_t target) {
    code[site - 0x401000] = '\xE8';
    DumpBuilder::put32(code, site + 1 - 0x401000, target - (site + 5));
    return site + 5;
  };
  const uint32_t retMain = call(kMain + 0x10, kF), retF = call(kF + 0x20, kG);
  // In .data, bytes that look like a call to g: not code, so never a return address.
  const uint32_t fake = call(0x402000, kG);

  // Saved from below ESP on, not from a page's start, as writers do.
  constexpr uint32_t kStack = 0x12F4C0, kEsp = 0x12FE00, fpG = 0x12FE20, fpF = 0x12FE60,
                     fpMain = 0x12FEA0;
  std::string stack(0x130000 - kStack, '\0');
  auto at = [&stack](uint32_t a, uint32_t v) { DumpBuilder::put32(stack, a - kStack, v); };
  at(kEsp + 8, fake);
  at(fpG, fpF), at(fpG + 4, retF);
  at(fpF, fpMain), at(fpF + 4, retMain);

  DumpBuilder b;
  b.threads.push_back({0x111, 0, 0x20, 0, 0x7FFDE000, kStack, stack, kG + 0x50, kEsp, fpG});
  b.modules.push_back({0x400000, 0x3000, 0, 0, u"app.exe", false, 0, 0, 0, 0, ""});
  b.modules.push_back({0x10000000, 0x8000, 0, 0, u"nohead.dll", false, 0, 0, 0, 0, ""});
  b.memory.push_back({0x400000, headers});
  b.memory.push_back({0x401000, code});
  std::string error;
  std::unique_ptr<Minidump> d = parseBytes(b.write(), error);
  ASSERT_TRUE(d) << error;

  DumpMemorySource source(*d, &d->threads[0]);
  EXPECT_EQ(source.codeRanges(0), DumpMemorySource::CodeRanges::Sections);
  EXPECT_EQ(source.codeRanges(1), DumpMemorySource::CodeRanges::WholeImage);
  EXPECT_TRUE(source.moduleAt(kF)->executable);
  EXPECT_FALSE(source.moduleAt(fake)->executable);
  EXPECT_TRUE(source.moduleAt(0x10004000)->executable);
  EXPECT_EQ(source.moduleAt(0x10008000), std::nullopt);
  ASSERT_TRUE(source.stackRange());
  EXPECT_EQ(source.stackRange()->low, kStack);
  EXPECT_EQ(source.stackRange()->high, 0x130000u);
  EXPECT_EQ(DumpMemorySource(*d, nullptr).stackRange(), std::nullopt);
  uint32_t word = 0;
  EXPECT_EQ(source.read(0x130000 - 2, &word, 4), 2u);
  EXPECT_EQ(source.read(0xFFFFFFFE, &word, 4), 0u);

  const DumpContext& c = d->threads[0].context;
  const std::vector<StackEntry> walk = StackWalker(source).walk({c.eip, c.esp, c.ebp}, 16);
  const std::vector<StackEntry> expected = {
      {kG + 0x50, kEsp, FoundBy::Context},
      {retF, fpG + 4, FoundBy::Frame},
      {retMain, fpF + 4, FoundBy::Frame},
  };
  EXPECT_EQ(walk, expected);

  // Without the image in the dump (the usual case) the module's file answers for it.
  DumpBuilder bare = b;
  bare.memory.clear();
  std::unique_ptr<Minidump> d2 = parseBytes(bare.write(), error);
  ASSERT_TRUE(d2) << error;
  const std::string image = headers + std::string(0xC00, '\0') + code;
  DumpMemorySource files(*d2, &d2->threads[0]);
  EXPECT_EQ(files.read(kF, &word, 4), 0u);
  files.setImageReader(
      [&image](const DumpModule& m, uint32_t rva, void* out, uint32_t n) -> uint32_t {
        if (m.base != 0x400000 || rva >= image.size()) return 0;
        n = std::min<uint32_t>(n, static_cast<uint32_t>(image.size()) - rva);
        std::memcpy(out, image.data() + rva, n);
        return n;
      });
  EXPECT_EQ(files.codeRanges(0), DumpMemorySource::CodeRanges::Sections);
  EXPECT_EQ(StackWalker(files).walk({c.eip, c.esp, c.ebp}, 16), expected);
  // The stack still comes from the dump; the image ends where the module does.
  EXPECT_EQ(files.read(kEsp + 8, &word, 4), 4u);
  EXPECT_EQ(word, fake);
  EXPECT_EQ(files.read(0x402FFE, &word, 4), 2u);
}

}  // namespace
}  // namespace ostrel
