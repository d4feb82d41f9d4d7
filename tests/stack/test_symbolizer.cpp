// Naming addresses of modules with a map beside them, with exports only, and with neither.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "../mapfile/map_samples.h"
#include "pe_builder.h"
#include "stack/symbolizer.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

class SymbolizerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("ostrel_symbols_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  // Exports in the code section at 0x1100 (two names), 0x1200 and 0x1300 (ordinal only),
  // a data export and a forwarder.
  std::string writeModule(const std::string& name) {
    return write(name, test::buildTestPe(name, {{"Second", 0x1200, ""},
                                                {"First", 0x1100, ""},
                                                {"", 0x1300, ""},
                                                {"AliasOfFirst", 0x1100, ""},
                                                {"Table", 0x3010, ""},
                                                {"Moved", 0, "OTHER.Moved"}})
                           .bytes);
  }

  fs::path dir_;
};

TEST_F(SymbolizerTest, ModuleWithoutMapIsNamedByItsExports) {
  const SymbolModule module{writeModule("plain.dll"), 0x10000000, 0x5000};
  Symbolizer symbols;
  auto routine = [&](uint32_t rva) {
    return symbols.symbolize(module, module.Base + rva).RoutineName;
  };
  const SymbolInfo exact = symbols.symbolize(module, 0x10001100);
  EXPECT_EQ(exact.ModuleName, "plain.dll");
  EXPECT_EQ(exact.RoutineName, "First");  // the first name listed for the address
  EXPECT_EQ(exact.UnitName, "");
  EXPECT_EQ(exact.LineText, "");
  EXPECT_EQ(routine(0x111A), "First+$1A");
  EXPECT_EQ(routine(0x11FF), "First+$FF");
  EXPECT_EQ(routine(0x1200), "Second");
  EXPECT_EQ(routine(0x12AB), "Second+$AB");
  EXPECT_EQ(routine(0x1310), "#3+$10");  // exported by ordinal only
  EXPECT_EQ(routine(0x10FF), "");        // below the first export
  EXPECT_EQ(routine(0x3018), "");        // data is no routine
  EXPECT_EQ(routine(0x2000), "");        // past the code section
  // Outside the module: only its name.
  const SymbolInfo outside = symbols.symbolize(module, 0x10005000);
  EXPECT_EQ(outside.ModuleName, "plain.dll");
  EXPECT_EQ(outside.RoutineName, "");
}

TEST_F(SymbolizerTest, ModuleWithNeitherGivesItsNameOnly) {
  Symbolizer symbols;
  const SymbolInfo missing =
      symbols.symbolize({(dir_ / "missing.dll").string(), 0x10000000, 0x5000}, 0x10001100);
  EXPECT_EQ(missing.ModuleName, "missing.dll");
  EXPECT_EQ(missing.RoutineName, "");
  const SymbolInfo damaged = symbols.symbolize(
      {write("damaged.dll", writeModule("x.dll").substr(0, 0x200)), 0x10000000, 0x5000},
      0x10001100);
  EXPECT_EQ(damaged.ModuleName, "damaged.dll");
  EXPECT_EQ(damaged.RoutineName, "");
}

// The map beside the module names what it covers, counting from base + BaseOfCode; past its
// units the exports still name the address. The map is read once and kept: removing the file
// afterwards changes nothing for this symbolizer, and a new one falls back to the exports.
TEST_F(SymbolizerTest, MapBesideTheModuleIsUsedAndKept) {
  // The map of "Withmap.DLL" is "Withmap.map"; the module name keeps its letter case.
  const std::string path = writeModule("Withmap.DLL");
  write("Withmap.map", test::kSmallMap);
  const SymbolModule module{path, 0x20000000, 0};
  const uint32_t code = 0x20001000;
  auto check = [&](Symbolizer& symbols) {
    const SymbolInfo gamma = symbols.symbolize(module, code + 0x112);
    EXPECT_EQ(gamma.ModuleName, "Withmap.DLL");
    EXPECT_EQ(gamma.UnitName, "Unit1");
    EXPECT_EQ(gamma.RoutineName, "Gamma");
    EXPECT_EQ(gamma.LineText, "11");
    const SymbolInfo beta = symbols.symbolize(module, code + 0x41);
    EXPECT_EQ(beta.UnitName, "System");
    EXPECT_EQ(beta.RoutineName, "Beta");
    // Beyond the map's units: the exports.
    EXPECT_EQ(symbols.symbolize(module, code + 0x21A).RoutineName, "Second+$1A");
  };
  Symbolizer symbols;
  check(symbols);
  fs::remove(dir_ / "Withmap.map");
  check(symbols);

  Symbolizer fresh;
  const SymbolInfo byExports = fresh.symbolize(module, code + 0x112);
  EXPECT_EQ(byExports.UnitName, "");
  EXPECT_EQ(byExports.RoutineName, "First+$12");
  // Maps can be turned off.
  write("Withmap.map", test::kSmallMap);
  Symbolizer noMaps(false);
  EXPECT_EQ(noMaps.symbolize(module, code + 0x112).RoutineName, "First+$12");
}

// The sample program with the map the build writes beside it: its entry point, placed at a
// base other than the preferred one, is named as the map names it. This holds only when the
// code base counts as the linker's map tool counts it.
TEST(SymbolizerSample, EntryPointOfTheSampleIsNamedByItsMap) {
  const std::string exe = OSTREL_SAMPLE_EXE;
  if (!fs::exists(exe) || !fs::exists(Symbolizer::mapPathFor(exe)))
    GTEST_SKIP() << "no " << exe << " with its map";
  const PeParseResult image = parsePeFile(exe);
  ASSERT_TRUE(image.Ok) << image.Error;
  ASSERT_NE(image.Image.EntryPoint, 0u);
  const SymbolModule module{exe, 0x00A00000, image.Image.SizeOfImage};
  Symbolizer symbols;
  for (uint32_t delta : {0u, 3u}) {
    const SymbolInfo entry =
        symbols.symbolize(module, module.Base + image.Image.EntryPoint + delta);
    EXPECT_EQ(entry.ModuleName, "dbg_sample.exe");
    EXPECT_EQ(entry.RoutineName, "mainCRTStartup");
    EXPECT_FALSE(entry.UnitName.empty());
  }
}

}  // namespace
}  // namespace ostrel
