// Builds small 32-bit PE files in memory: a code section and an export section, with the
// offsets of the fields that the bad-input tests damage.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ostrel::test {

struct TestExport {
  std::string name;    // empty: exported by ordinal only
  uint32_t rva = 0;    // ignored for a forwarder
  std::string target;  // non-empty: a forwarder to this "OTHER.Name"
};

struct TestPe {
  std::string bytes;
  size_t peOffset = 0x40;
  size_t optionalOffset = 0x58;
  size_t sectionTable = 0x138;
  size_t exportDirectory = 0;  // file offset of the export directory
  size_t nameTable = 0;        // file offset of the name pointer table

  void put32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
  }
  void put16(size_t at, uint16_t v) {
    bytes[at] = static_cast<char>(v);
    bytes[at + 1] = static_cast<char>(v >> 8);
  }
};

// Code at RVA 0x1000 (file 0x400, 0x1000 bytes), read-only data at RVA 0x3000, exports at
// RVA 0x4000 (file 0x1600). BaseOfCode 0x1000, SizeOfImage 0x5000.
inline TestPe buildTestPe(const std::string& moduleName, const std::vector<TestExport>& exports,
                          uint32_t ordinalBase = 1) {
  TestPe pe;
  const uint32_t textRaw = 0x400, textSize = 0x1000;
  const uint32_t rdataRaw = 0x1400, rdataSize = 0x200;
  const uint32_t edataRva = 0x4000, edataRaw = 0x1600;

  // The export section's contents first: its size decides the file's.
  std::string ed(40, '\0');
  auto at32 = [&ed](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) ed[at + i] = static_cast<char>(v >> (8 * i));
  };
  const uint32_t n = static_cast<uint32_t>(exports.size());
  std::vector<uint32_t> named;
  for (uint32_t i = 0; i < n; ++i)
    if (!exports[i].name.empty()) named.push_back(i);
  std::sort(named.begin(), named.end(),
            [&](uint32_t a, uint32_t b) { return exports[a].name < exports[b].name; });
  const uint32_t m = static_cast<uint32_t>(named.size());
  const uint32_t eat = 40, npt = eat + 4 * n, ot = npt + 4 * m;
  ed.resize(ot + 2 * m, '\0');
  auto addString = [&ed](const std::string& s) {
    const uint32_t at = static_cast<uint32_t>(ed.size());
    ed += s;
    ed += '\0';
    return at;
  };
  at32(12, edataRva + addString(moduleName));
  at32(16, ordinalBase);
  at32(20, n);
  at32(24, m);
  at32(28, edataRva + eat);
  at32(32, edataRva + npt);
  at32(36, edataRva + ot);
  for (uint32_t j = 0; j < m; ++j) {
    at32(npt + 4 * j, edataRva + addString(exports[named[j]].name));
    ed[ot + 2 * j] = static_cast<char>(named[j]);
    ed[ot + 2 * j + 1] = static_cast<char>(named[j] >> 8);
  }
  for (uint32_t i = 0; i < n; ++i)
    at32(eat + 4 * i,
         exports[i].target.empty() ? exports[i].rva : edataRva + addString(exports[i].target));
  const uint32_t edataSize = static_cast<uint32_t>(ed.size());
  const uint32_t edataRawSize = (edataSize + 0x1FF) & ~0x1FFu;

  pe.bytes.assign(edataRaw + edataRawSize, '\0');
  pe.bytes.replace(edataRaw, ed.size(), ed);
  pe.exportDirectory = edataRaw;
  pe.nameTable = edataRaw + npt;
  pe.put16(0, 0x5A4D);
  pe.put32(0x3C, 0x40);
  pe.bytes.replace(0x40, 4, std::string("PE\0\0", 4));
  pe.put16(0x44, 0x14C);  // i386
  pe.put16(0x46, 3);      // sections
  pe.put16(0x54, 224);    // SizeOfOptionalHeader
  const size_t o = pe.optionalOffset;
  pe.put16(o, 0x10B);
  pe.put32(o + 20, 0x1000);      // BaseOfCode
  pe.put32(o + 28, 0x10000000);  // ImageBase
  pe.put32(o + 56, 0x5000);      // SizeOfImage
  pe.put32(o + 60, 0x400);       // SizeOfHeaders
  pe.put32(o + 92, 16);
  pe.put32(o + 96, edataRva);
  pe.put32(o + 100, edataSize);
  struct Section {
    const char* name;
    uint32_t rva, size, raw, rawSize, flags;
  } sections[] = {{".text", 0x1000, textSize, textRaw, textSize, 0x60000020},
                  {".rdata", 0x3000, rdataSize, rdataRaw, rdataSize, 0x40000040},
                  {".edata", edataRva, edataSize, edataRaw, edataRawSize, 0x40000040}};
  for (size_t i = 0; i < 3; ++i) {
    const size_t s = pe.sectionTable + 40 * i;
    std::memcpy(&pe.bytes[s], sections[i].name, std::strlen(sections[i].name));
    pe.put32(s + 8, sections[i].size);
    pe.put32(s + 12, sections[i].rva);
    pe.put32(s + 16, sections[i].rawSize);
    pe.put32(s + 20, sections[i].raw);
    pe.put32(s + 36, sections[i].flags);
  }
  return pe;
}

}  // namespace ostrel::test
