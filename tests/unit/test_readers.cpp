#include "engine/readers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>

#include "fake_platform.h"

namespace ostrel {
namespace {

constexpr Handle kProcess = 0x100;
constexpr Handle kFile = 0x44;

// --- a small PE image laid out as a linker writes it -----------------------------------

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
  if (at + 4 > b.size()) return 0;
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
uint16_t get16(const std::vector<uint8_t>& b, size_t at) {
  if (at + 2 > b.size()) return 0;
  return uint16_t(b[at] | b[at + 1] << 8);
}

// A 32-bit DLL with .text at 0x1000 and .edata at 0x2000, file alignment 0x200.
std::vector<uint8_t> buildDll(const std::string& exportName, bool withExports = true) {
  std::vector<uint8_t> f(0x800, 0);
  f[0] = 'M';
  f[1] = 'Z';
  put32(f, 0x3C, 0x80);
  const size_t pe = 0x80, opt = pe + 0x18, sections = opt + 0xE0;
  put32(f, pe, 0x00004550);
  put16(f, pe + 4, 0x014C);      // i386
  put16(f, pe + 6, 2);           // sections
  put16(f, pe + 0x14, 0xE0);     // optional header size
  put16(f, pe + 0x16, 0x2102);   // executable, 32-bit, DLL
  put16(f, opt, 0x010B);         // PE32
  put32(f, opt + 0x10, 0x1000);  // entry point
  put32(f, opt + 0x14, 0x1000);  // base of code
  put32(f, opt + 0x1C, 0x10000000);
  put32(f, opt + 0x20, 0x1000);  // section alignment
  put32(f, opt + 0x24, 0x200);   // file alignment
  put32(f, opt + 0x38, 0x3000);  // size of image
  put32(f, opt + 0x3C, 0x400);   // size of headers
  put32(f, opt + 0x5C, 16);      // data directories
  if (withExports) {
    put32(f, opt + 0x60, 0x2000);
    put32(f, opt + 0x64, 0x40);
  }
  auto section = [&](size_t at, const char* name, uint32_t va, uint32_t raw, uint32_t chars) {
    std::copy(name, name + std::strlen(name), f.begin() + static_cast<std::ptrdiff_t>(at));
    put32(f, at + 8, 0x100);
    put32(f, at + 12, va);
    put32(f, at + 16, 0x200);
    put32(f, at + 20, raw);
    put32(f, at + 36, chars);
  };
  section(sections, ".text", 0x1000, 0x400, 0x60000020);
  section(sections + 40, ".edata", 0x2000, 0x600, 0x40000040);
  f[0x400] = 0xC3;
  if (withExports) {
    put32(f, 0x600 + 12, 0x2028);  // name RVA
    put32(f, 0x600 + 16, 1);       // ordinal base
    std::copy(exportName.begin(), exportName.end(), f.begin() + 0x628);
  }
  return f;
}

// Lays a PE file into the fake debuggee's memory as the loader would.
void mapImage(fake::FakePlatform& p, Address base, const std::vector<uint8_t>& file) {
  const uint32_t pe = get32(file, 0x3C);
  const uint16_t count = get16(file, pe + 6);
  const uint32_t headers = std::min<uint32_t>(get32(file, pe + 0x54), uint32_t(file.size()));
  p.poke(kProcess, base, file.data(), headers);
  const size_t table = pe + 0x18 + get16(file, pe + 0x14);
  for (uint16_t i = 0; i < count; ++i) {
    const size_t s = table + 40u * i;
    const uint32_t virtualSize = get32(file, s + 8), va = get32(file, s + 12);
    const uint32_t raw = get32(file, s + 16), ptr = get32(file, s + 20);
    std::vector<uint8_t> bytes(std::max(virtualSize, raw), 0);
    if (ptr < file.size())
      std::copy_n(file.begin() + ptr, std::min<size_t>(raw, file.size() - ptr), bytes.begin());
    p.poke(kProcess, base + va, bytes.data(), bytes.size());
  }
  p.addRegion(kProcess, {base, get32(file, pe + 0x50), base, kMemCommit});
}

// --- readImageName --------------------------------------------------------------------

TEST(ReadImageName, NullPointersGiveAnEmptyName) {
  fake::FakePlatform p;
  EXPECT_EQ(readImageName(p, kProcess, 0, 0), "");
  EXPECT_EQ(p.readCalls, 0);
  p.poke32(kProcess, 0x7FFD0000, 0);
  EXPECT_EQ(readImageName(p, kProcess, 0x7FFD0000, 0), "");
  EXPECT_EQ(readImageName(p, kProcess, 0x7FFD0000, 1), "");
}

TEST(ReadImageName, UnreadablePointerEndsTheSession) {
  fake::FakePlatform p;
  EXPECT_THROW(readImageName(p, kProcess, 0x7FFD0000, 0), EngineError);
  // Only two of the four pointer bytes are there.
  p.poke(kProcess, 0x7FFD1000, "\x10\x20", 2);
  EXPECT_THROW(readImageName(p, kProcess, 0x7FFD1000, 1), EngineError);
  try {
    readImageName(p, kProcess, 0x7FFD1000, 0);
  } catch (const EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("$7FFD1000"), std::string::npos) << e.what();
  }
}

TEST(ReadImageName, AnsiNameShrinksToWhatIsReadable) {
  fake::FakePlatform p;
  p.poke32(kProcess, 0x1000, 0x20000);
  p.pokeString(kProcess, 0x20000, "C:\\WINDOWS\\system32\\ntdll.dll");
  EXPECT_EQ(readImageName(p, kProcess, 0x1000, 0), "C:\\WINDOWS\\system32\\ntdll.dll");

  // No terminator and unreadable memory right after the name.
  p.poke32(kProcess, 0x1004, 0x30000);
  const std::string tail = "C:\\edge.dll";
  p.poke(kProcess, 0x30000, tail.data(), tail.size());
  EXPECT_EQ(readImageName(p, kProcess, 0x1004, 0), tail);

  // Nothing readable at all at the name.
  p.poke32(kProcess, 0x1008, 0x40000);
  EXPECT_EQ(readImageName(p, kProcess, 0x1008, 0), "");
}

TEST(ReadImageName, AnsiNameIsCutAt261Bytes) {
  fake::FakePlatform p;
  p.poke32(kProcess, 0x1000, 0x20000);
  p.pokeString(kProcess, 0x20000, std::string(400, 'a'));
  EXPECT_EQ(readImageName(p, kProcess, 0x1000, 0), std::string(kImageNameBytes, 'a'));
}

TEST(ReadImageName, UnicodeNamesAreConvertedAndKeep260Characters) {
  fake::FakePlatform p;
  p.poke32(kProcess, 0x1000, 0x20000);
  p.pokeU16(kProcess, 0x20000, u"C:\\Caf\u00E9\\\u20AC\u4E2D.dll");
  EXPECT_EQ(readImageName(p, kProcess, 0x1000, 1), "C:\\Caf\xE9\\\x80?.dll");

  std::u16string longName(300, u'x');
  p.poke32(kProcess, 0x1004, 0x30000);
  p.pokeU16(kProcess, 0x30000, longName);
  EXPECT_EQ(readImageName(p, kProcess, 0x1004, 1), std::string(kMaxImageNameChars, 'x'));
}

TEST(ReadImageName, UnicodeNameBeforeUnreadableMemoryDropsHalfCharacters) {
  fake::FakePlatform p;
  p.poke32(kProcess, 0x1000, 0x20000);
  const std::u16string name = u"lib.dll";
  p.poke(kProcess, 0x20000, name.data(), name.size() * 2);
  p.poke(kProcess, 0x20000 + name.size() * 2, "Z", 1);  // half of one more character
  EXPECT_EQ(readImageName(p, kProcess, 0x1000, 1), "lib.dll");
}

// --- readDebugString ------------------------------------------------------------------

TEST(ReadDebugString, LongStringsAreKeptWhole) {
  fake::FakePlatform p;
  const std::string text(5000, 'q');
  p.pokeString(kProcess, 0x50000, text);
  auto event = fake::makeDebugString(1, 2, 0x50000, uint16_t(text.size() + 1), 0);
  EXPECT_EQ(readDebugString(p, kProcess, event), text);

  const std::string biggest(65534, 'z');
  p.pokeString(kProcess, 0x100000, biggest);
  event = fake::makeDebugString(1, 2, 0x100000, 65535, 0);
  EXPECT_EQ(readDebugString(p, kProcess, event), biggest);
}

TEST(ReadDebugString, StopsAtTheFirstZeroAndConvertsUnicode) {
  fake::FakePlatform p;
  p.poke(kProcess, 0x50000, "abc\0def", 8);
  EXPECT_EQ(readDebugString(p, kProcess, fake::makeDebugString(1, 2, 0x50000, 8, 0)), "abc");
  // A length without room for a terminator still yields the characters.
  EXPECT_EQ(readDebugString(p, kProcess, fake::makeDebugString(1, 2, 0x50000, 3, 0)), "abc");

  p.pokeU16(kProcess, 0x60000, u"Gr\u00FC\u00DFe \u2022");
  EXPECT_EQ(readDebugString(p, kProcess, fake::makeDebugString(1, 2, 0x60000, 16, 1)),
            "Gr\xFC\xDF" "e \x95");
  EXPECT_EQ(readDebugString(p, kProcess, fake::makeDebugString(1, 2, 0x60000, 0, 1)), "");
}

TEST(ReadDebugString, UnreadableStringEndsTheSession) {
  fake::FakePlatform p;
  p.pokeString(kProcess, 0x50000, "short");
  EXPECT_THROW(readDebugString(p, kProcess, fake::makeDebugString(1, 2, 0x50000, 4000, 0)),
               EngineError);
  EXPECT_THROW(readDebugString(p, kProcess, fake::makeDebugString(1, 2, 0x90000, 4, 1)),
               EngineError);
}

// --- readExportName -------------------------------------------------------------------

TEST(ReadExportName, NameComesFromTheMappedImage) {
  fake::FakePlatform p;
  auto dll = buildDll("sample.dll");
  p.files[kFile] = {1, dll};
  mapImage(p, 0x10000000, dll);
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x10000000), "sample.dll");
  // Mapped elsewhere than its preferred base: the debuggee's base decides.
  mapImage(p, 0x00380000, dll);
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x00380000), "sample.dll");
}

TEST(ReadExportName, NonPeFilesGiveAnEmptyName) {
  fake::FakePlatform p;
  auto dll = buildDll("sample.dll");
  mapImage(p, 0x10000000, dll);

  p.files[kFile] = {2, dll};  // a pipe, not a disk file
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x10000000), "");
  EXPECT_EQ(readExportName(p, kProcess, 0x999, 0x10000000), "");

  auto noMz = dll;
  noMz[0] = 'X';
  p.files[kFile] = {1, noMz};
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x10000000), "");

  auto noPe = dll;
  noPe[0x81] = 'X';
  p.files[kFile] = {1, noPe};
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x10000000), "");

  p.files[kFile] = {1, {'M', 'Z'}};
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x10000000), "");

  auto wild = dll;
  put32(wild, 0x3C, 0xFFFFFFF0);
  p.files[kFile] = {1, wild};
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x10000000), "");

  p.files[kFile] = {1, buildDll("", false)};
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x10000000), "");
}

TEST(ReadExportName, UnreadableNameIsAccessDenied) {
  fake::FakePlatform p;
  auto dll = buildDll("sample.dll");
  p.files[kFile] = {1, dll};
  // Not mapped in the debuggee at all.
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x10000000), "Access Denied!");
  // Directory readable, name area not.
  mapImage(p, 0x10000000, dll);
  p.unmap(kProcess, 0x10002028, 16);
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x10000000), "Access Denied!");
}

TEST(ReadExportName, NameCloseToUnreadableMemoryIsStillRead) {
  fake::FakePlatform p;
  auto dll = buildDll("tail.dll");
  p.files[kFile] = {1, dll};
  mapImage(p, 0x10000000, dll);
  // Only a few bytes after the name are readable: a 256-byte read would fail.
  p.unmap(kProcess, 0x10002028 + 16, 0x1000);
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x10000000), "tail.dll");
}

TEST(ReadExportName, LongNamesAreBoundedTo256Bytes) {
  fake::FakePlatform p;
  auto dll = buildDll(std::string(300, 'n'));
  p.files[kFile] = {1, dll};
  mapImage(p, 0x10000000, dll);
  EXPECT_EQ(readExportName(p, kProcess, kFile, 0x10000000), std::string(256, 'n'));
}

#ifdef _WIN32
TEST(ReadExportName, RealSystemDll) {
  std::ifstream in("C:\\windows\\system32\\kernel32.dll", std::ios::binary);
  if (!in) GTEST_SKIP() << "kernel32.dll not readable";
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fake::FakePlatform p;
  p.files[kFile] = {1, bytes};
  mapImage(p, 0x7B000000, bytes);
  std::string name = readExportName(p, kProcess, kFile, 0x7B000000);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  EXPECT_EQ(name, "kernel32.dll");
  const uint32_t pe = get32(bytes, 0x3C);
  EXPECT_EQ(getCodeBase(p, kProcess, 0x7B000000 + 0x10), 0x7B000000 + get32(bytes, pe + 0x2C));
}
#endif

// --- module names and code base --------------------------------------------------------

TEST(ModuleNameFromAddress, FullPathOrUnknown) {
  fake::FakePlatform p;
  p.addRegion(kProcess, {0x00401000, 0x1000, 0x00400000, kMemCommit});
  p.addModule(kProcess, 0x00400000, "C:\\apps\\sample.exe");
  EXPECT_EQ(moduleNameFromAddress(p, kProcess, 0x00401234), "C:\\apps\\sample.exe");
  EXPECT_EQ(moduleNameFromAddress(p, kProcess, 0x00900000), "Unknown");
  p.addRegion(kProcess, {0x00A00000, 0x1000, 0x00A00000, kMemCommit});
  EXPECT_EQ(moduleNameFromAddress(p, kProcess, 0x00A00010), "Unknown");
}

TEST(GetCodeBase, AllocationBasePlusBaseOfCode) {
  fake::FakePlatform p;
  auto dll = buildDll("sample.dll");
  mapImage(p, 0x00400000, dll);
  EXPECT_EQ(getCodeBase(p, kProcess, 0x00401000), 0x00401000u);
  EXPECT_EQ(getCodeBase(p, kProcess, 0x00402010), 0x00401000u);
  EXPECT_EQ(getCodeBase(p, kProcess, 0x00900000), 0u);  // no region

  p.unmap(kProcess, 0x00400080 + 0x2C, 4);
  EXPECT_EQ(getCodeBase(p, kProcess, 0x00401000), 0u);
  p.unmap(kProcess, 0x0040003C, 4);
  EXPECT_EQ(getCodeBase(p, kProcess, 0x00401000), 0u);
}

}  // namespace
}  // namespace ostrel
