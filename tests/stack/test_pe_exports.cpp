// The export table reader: against the linker's own view of real DLLs, and on damaged files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "pe_builder.h"
#include "stack/pe_exports.h"

namespace ostrel {
namespace {

using test::buildTestPe;
using test::TestPe;

// What the cross toolchain's objdump prints of a DLL's export table.
struct ObjdumpExports {
  std::string moduleName;
  uint32_t ordinalBase = 0;
  std::map<uint32_t, std::pair<uint32_t, std::string>> functions;  // index -> (RVA, forwarder)
  std::multiset<std::pair<uint32_t, std::string>> names;           // (index, name)
};

ObjdumpExports readObjdump(std::istream& in) {
  ObjdumpExports out;
  std::string line;
  enum { Header, Functions, Names, Done } part = Header;
  bool inExports = false;
  while (part != Done && std::getline(in, line)) {
    if (line.find("The Export Tables") != std::string::npos) inExports = true;
    if (!inExports) continue;
    if (part == Header && line.rfind("Name ", 0) == 0) {
      std::istringstream fields(line.substr(5));
      std::string rva;
      fields >> rva >> out.moduleName;
    } else if (line.rfind("Export Address Table -- Ordinal Base", 0) == 0) {
      out.ordinalBase = static_cast<uint32_t>(std::stoul(line.substr(line.rfind(' '))));
      part = Functions;
    } else if (line.rfind("[Ordinal/Name Pointer] Table", 0) == 0) {
      part = Names;
    } else if (part == Functions && line.find("+base[") != std::string::npos) {
      // "\t[  18] +base[  19] 1000 Export RVA" or "... 47c29 Forwarder RVA -- k.Name"
      const uint32_t index = static_cast<uint32_t>(std::stoul(line.substr(line.find('[') + 1)));
      std::istringstream rest(line.substr(line.find(']', line.find("+base[")) + 1));
      std::string rva, kind, word, arrows, target;
      rest >> rva >> kind >> word >> arrows >> target;
      out.functions[index] = {static_cast<uint32_t>(std::stoul(rva, nullptr, 16)),
                              kind == "Forwarder" ? target : std::string()};
    } else if (part == Names && !line.empty() && line.find('[') != std::string::npos) {
      const size_t close = line.find(']');
      out.names.insert({static_cast<uint32_t>(std::stoul(line.substr(line.find('[') + 1))),
                        line.substr(close + 2)});
    } else if (part == Names && line.empty() && !out.names.empty()) {
      part = Done;
    }
  }
  return out;
}

// Every DLL of this tree and of the Wine prefix that the build wrote objdump's view of: the
// same module name, ordinal base, functions at the same RVAs, forwarders with the same
// targets and every name on the same function.
TEST(PeExports, MatchTheLinkersViewOfRealDlls) {
  const std::filesystem::path dir(OSTREL_PE_ORACLE_DIR);
  int compared = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    std::ifstream in(entry.path());
    std::string dllPath;
    if (!std::getline(in, dllPath) || !std::filesystem::exists(dllPath)) continue;
    SCOPED_TRACE(dllPath);
    const ObjdumpExports expected = readObjdump(in);
    const PeParseResult parsed = parsePeFile(dllPath);
    ASSERT_TRUE(parsed.Ok) << parsed.Error;
    const PeImage& image = parsed.Image;
    ASSERT_FALSE(expected.functions.empty());
    EXPECT_EQ(image.ModuleName, expected.moduleName);
    EXPECT_EQ(image.OrdinalBase, expected.ordinalBase);

    std::map<uint32_t, std::pair<uint32_t, std::string>> functions;
    std::multiset<std::pair<uint32_t, std::string>> names;
    for (const PeExport& e : image.Exports) {
      const uint32_t index = e.Ordinal - image.OrdinalBase;
      functions[index] = {e.Rva, std::string()};
      if (!e.Name.empty()) names.insert({index, e.Name});
      EXPECT_LT(e.Rva, image.SizeOfImage) << e.Name;
    }
    for (const PeForwarder& f : image.Forwarders) {
      const uint32_t index = f.Ordinal - image.OrdinalBase;
      // objdump prints the forwarder string's RVA; ours keeps the target only.
      auto found = expected.functions.find(index);
      functions[index] = {found == expected.functions.end() ? 0 : found->second.first, f.Target};
      if (!f.Name.empty()) names.insert({index, f.Name});
    }
    EXPECT_EQ(functions, expected.functions);
    EXPECT_EQ(names, expected.names);
    EXPECT_FALSE(image.ExecutableRanges.empty());
    ++compared;
  }
  if (compared == 0) GTEST_SKIP() << "no DLL with objdump's view in " << dir;
}

// What the stack walker takes from the headers: the image size and where code lies.
TEST(PeExports, SizeAndCodeOfABuiltImage) {
  const PeParseResult parsed =
      parsePeImage(buildTestPe("SAMPLE.dll", {{"Alpha", 0x1100, ""}}).bytes);
  ASSERT_TRUE(parsed.Ok) << parsed.Error;
  EXPECT_EQ(parsed.Image.SizeOfImage, 0x5000u);
  EXPECT_EQ(parsed.Image.codeRva(), 0x1000u);
  ASSERT_EQ(parsed.Image.ExecutableRanges.size(), 1u);  // not the data sections
  EXPECT_EQ(parsed.Image.ExecutableRanges[0].Begin, 0x1000u);
  EXPECT_EQ(parsed.Image.ExecutableRanges[0].End, 0x2000u);
}

// Each damage gives an error that names the damaged part; no read leaves the file (the
// sanitizers watch that) and none of them takes long.
TEST(PeExports, DamagedFilesGiveErrorsNotReads) {
  const TestPe good = buildTestPe("SAMPLE.dll", {{"Alpha", 0x1100, ""}, {"Beta", 0x1200, ""}});
  ASSERT_TRUE(parsePeImage(good.bytes).Ok);

  // Every truncation inside the headers and the export tables fails.
  const size_t tablesEnd = good.nameTable + 8;
  for (size_t size = 0; size < tablesEnd; ++size)
    ASSERT_FALSE(parsePeImage(std::string_view(good.bytes).substr(0, size)).Ok) << size;

  struct Damage {
    const char* what;
    void (*apply)(TestPe&);
    const char* error;
  } damages[] = {
      {"no MZ", [](TestPe& pe) { pe.bytes[0] = 'X'; }, "MZ"},
      {"PE header past the end", [](TestPe& pe) { pe.put32(0x3C, 0xFFFFFFF0); },
       "outside the file"},
      {"not PE32", [](TestPe& pe) { pe.put16(pe.optionalOffset, 0x20B); }, "not PE32"},
      {"too many sections", [](TestPe& pe) { pe.put16(0x46, 0xFFFF); }, "NumberOfSections"},
      {"optional header too small", [](TestPe& pe) { pe.put16(0x54, 40); }, "SizeOfOptionalHeader"},
      {"export directory outside the file",
       [](TestPe& pe) { pe.put32(pe.optionalOffset + 96, 0x7FFF0000); }, "in no section"},
      {"section data past the end of the file",
       [](TestPe& pe) { pe.put32(pe.sectionTable + 2 * 40 + 20, 0x7FFFFFF0); }, "outside the file"},
      {"huge function count", [](TestPe& pe) { pe.put32(pe.exportDirectory + 20, 0xFFFFFFFF); },
       "functions"},
      {"huge name count", [](TestPe& pe) { pe.put32(pe.exportDirectory + 24, 0x00FFFFFF); },
       "names"},
      {"function table longer than its section",
       [](TestPe& pe) { pe.put32(pe.exportDirectory + 20, 60000); }, "export address table"},
      {"name pointer outside", [](TestPe& pe) { pe.put32(pe.nameTable + 4, 0x00090000); },
       "export name 1"},
      {"name pointer past the section data",
       [](TestPe& pe) { pe.put32(pe.nameTable, 0x4000 + 0x1FF); }, "export name 0"},
      {"name table outside", [](TestPe& pe) { pe.put32(pe.exportDirectory + 32, 0xFFFFFFF0); },
       "name pointer table"},
      {"ordinal beyond the functions", [](TestPe& pe) { pe.put16(pe.nameTable + 8 + 2, 7); },
       "refers to function 7 of 2"},
  };
  for (const Damage& d : damages) {
    TestPe pe = good;
    d.apply(pe);
    const PeParseResult parsed = parsePeImage(pe.bytes);
    EXPECT_FALSE(parsed.Ok) << d.what;
    EXPECT_NE(parsed.Error.find(d.error), std::string::npos) << d.what << ": " << parsed.Error;
  }
}

}  // namespace
}  // namespace ostrel
