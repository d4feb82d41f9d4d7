#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "map_samples.h"

namespace ostrel {
namespace {

using test::kSmallMap;
using test::mapFromText;

struct Where {
  std::string unit, routine, line;
  bool operator==(const Where&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Where& w) {
  return os << "[" << w.unit << "|" << w.routine << "|" << w.line << "]";
}

Where fast(TMap& map, uint32_t address) {
  TCodeLocation l;
  l.Address = "kept";
  map.lookup(address, l);
  EXPECT_EQ(l.Address, "kept");
  return {l.UnitName, l.RoutineName, l.LineText};
}

Where linear(TMap& map, uint32_t address) {
  TCodeLocation l;
  map.lookupLinear(address, l);
  return {l.UnitName, l.RoutineName, l.LineText};
}

class SmallMapLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    map_ = mapFromText(kSmallMap);
    ASSERT_TRUE(map_.parse());
    map_.CodeBase = 0x401000;
  }
  Where at(uint32_t offset) {
    Where w = fast(map_, 0x401000 + offset);
    EXPECT_EQ(w, linear(map_, 0x401000 + offset)) << "offset " << offset;
    return w;
  }
  TMap map_;
};

TEST_F(SmallMapLookup, UnitRoutineAndLine) {
  EXPECT_EQ(at(0x40), (Where{"System", "Beta", "-"}));
  EXPECT_EQ(at(0x11F), (Where{"Unit1", "Gamma", "11"}));
  EXPECT_EQ(at(0x120), (Where{"Unit1", "Gamma", "12"}));
  // The last line entry and the last public cover nothing.
  EXPECT_EQ(at(0x14F), (Where{"Unit1", "Gamma", "12"}));
  EXPECT_EQ(at(0x16F), (Where{"Unit1", "-", "12"}));
  EXPECT_EQ(at(0x170), (Where{"Unit1", "-", "-"}));
}

TEST_F(SmallMapLookup, UnitEndsAreInclusiveAndTheLaterEntryWins) {
  EXPECT_EQ(at(0x180).unit, "Unit1");  // start + length
  EXPECT_EQ(at(0x181), (Where{}));
  EXPECT_EQ(at(0x100).unit, "Unit1");  // System's end, but Unit1 stands later
  EXPECT_EQ(at(0xFF).unit, "System");
  EXPECT_EQ(at(0x10), (Where{"Unit1", "Alpha", "-"}));  // Unit1's data entry over System code
  EXPECT_EQ(at(0x11).unit, "System");
}

TEST_F(SmallMapLookup, AddressesOutsideTheMapGiveEmptyFields) {
  EXPECT_EQ(fast(map_, 0x400FFF), (Where{}));  // wraps to FFFFFFFF
  EXPECT_EQ(fast(map_, 0), (Where{}));
  map_.CodeBase = 0;
  TCodeLocation l{"a", "b", "c", "d"};
  map_.lookup(0x401110, l);
  EXPECT_EQ(l.Address, "a");
  EXPECT_TRUE(l.UnitName.empty() && l.RoutineName.empty() && l.LineText.empty());
}

TEST(MapLookup, ARoutineWithoutPublicsInItsUnitStillGetsOne) {
  TMap map = mapFromText(
      "Detailed map of segments\r\n\r\n"
      " 0001:00000000 00000100 C=CODE S=.text G=(none) M=A ACBP=A9\r\n"
      " 0001:00000100 00000100 C=CODE S=.text G=(none) M=NoPublics ACBP=A9\r\n"
      " 0001:00000200 00000100 C=CODE S=.text G=(none) M=C ACBP=A9\r\n\r\n"
      "  Address         Publics by Value\r\n\r\n"
      " 0001:00000000 First\r\n 0001:00000250 Far\r\n 0001:00000260 Tail\r\n\r\n");
  ASSERT_TRUE(map.parse());
  map.CodeBase = 0x1000;
  EXPECT_EQ(map.LineTables.indexOf("NoPublics"), -1);
  const uint64_t edits = map.editCount();
  EXPECT_EQ(fast(map, 0x1150), (Where{"NoPublics", "First", "-"}));
  EXPECT_EQ(linear(map, 0x1150), (Where{"NoPublics", "First", "-"}));
  // The lookups wrote nothing: no table was appended for the unit.
  EXPECT_EQ(map.LineTables.indexOf("NoPublics"), -1);
  EXPECT_EQ(map.LineTables.size(), 2u);
  EXPECT_EQ(map.editCount(), edits);
}

TEST(MapLookup, ConstantOnlyUnitsDoNotClaimSystemCode) {
  TMap map = mapFromText(
      "Detailed map of segments\r\n\r\n"
      " 0001:00000000 00000100 C=CODE S=.text G=(none) M=System ACBP=A9\r\n"
      " 0001:00000100 00000000 C=CODE S=.text G=(none) M=Consts ACBP=A9\r\n\r\n"
      "  Address         Publics by Value\r\n\r\n"
      " 0001:00000000 S1\r\n 0001:00000100 S2\r\n\r\n"
      "Line numbers for Consts(Consts.pas) segment .text\r\n\r\n"
      "    72 0001:00000000\r\n\r\n"
      "Line numbers for System(System.pas) segment .text\r\n\r\n"
      "     1 0001:00000000     2 0001:00000080     3 0001:000000FF\r\n\r\n"
      "Program entry point at 0001:00000000\r\n");
  ASSERT_TRUE(map.parse());
  map.CodeBase = 0x1000;
  EXPECT_EQ(fast(map, 0x1010), (Where{"System", "S1", "1"}));
  EXPECT_EQ(fast(map, 0x1100), (Where{"Consts", "-", "-"}));
}

TEST(MapLookup, DuplicateStartsAndUnsortedTables) {
  Tmethods m;
  for (uint32_t s : {0x10u, 0x10u, 0x20u}) m.add(Tmethod{0, 0, "r", s});
  EXPECT_EQ(m.indexOfAddress(0x10), 1);  // the first's successor starts at the same offset
  EXPECT_EQ(m.indexOfAddress(0x1F), 1);
  EXPECT_EQ(m.indexOfAddress(0x20), -1);
  EXPECT_EQ(m.indexOfAddress(0x0F), -1);

  TLines lines;  // blocks of .text and .itext appended to one table
  for (auto [n, a] : {std::pair{1, 0x100u}, {2, 0x200u}, {3, 0x10u}, {4, 0x150u}, {5, 0x20u}})
    lines.add(TLine{n, a});
  for (uint32_t x : {0x0Fu, 0x10u, 0x1Fu, 0x20u, 0x100u, 0x14Fu, 0x150u, 0x1FFu, 0x200u})
    EXPECT_EQ(lines.indexOfAddress(x), lines.indexOfAddressLinear(x)) << x;
  EXPECT_EQ(lines.indexOfAddress(0x120), 0);
  EXPECT_EQ(lines.indexOfAddress(0x10), 2);
  EXPECT_EQ(lines.indexOfAddress(0x15), 2);

  TUnits units;
  units.add(TUnit{0x100, 0x200, "", "A", 0, -1});
  units.add(TUnit{0x180, 0x80, "", "Wrapped", 0, -1});  // end below start: covers nothing
  units.add(TUnit{0xFFFFFF00, 0xFFFFFFFF, "", "Top", 0, -1});
  EXPECT_EQ(units.indexOfAddress(0x190), 0);
  EXPECT_EQ(units.indexOfAddress(0xFFFFFFFF), 2);
  EXPECT_EQ(units.MaxAddress, 0xFFFFFFFFu);
  EXPECT_EQ(units.MinAddress, 0x100u);

  TLines empty;
  EXPECT_EQ(empty.indexOfAddress(0), -1);
  EXPECT_EQ(empty.findByAddress(5), nullptr);
}

// Random tables over a small address range, so that overlaps, duplicates, wrapped ends
// and unsorted entries all occur.
TEST(MapLookupProperty, IndexesAgreeWithTheScansOnRandomTables) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 400; ++round) {
    const uint32_t span = 1u + rng() % 64;
    const bool sorted = round % 3 == 0;
    const size_t n = rng() % 12;
    std::vector<uint32_t> starts(n);
    for (auto& s : starts) s = rng() % span + (round % 5 == 0 ? 0xFFFFFFC0u : 0u);
    if (sorted) std::sort(starts.begin(), starts.end());
    Tmethods m;
    TLines l;
    TUnits u;
    for (size_t i = 0; i < n; ++i) {
      m.add(Tmethod{0, 0, "r", starts[i]});
      l.add(TLine{static_cast<int32_t>(i), starts[i]});
      u.add(TUnit{starts[i], static_cast<uint32_t>(starts[i] + rng() % 24 - 4), "", "u", 0, -1});
    }
    for (uint32_t base : {0u, 0xFFFFFFC0u})
      for (uint32_t x = base; x - base < span + 30; ++x) {
        ASSERT_EQ(m.indexOfAddress(x), m.indexOfAddressLinear(x)) << round << " " << x;
        ASSERT_EQ(l.indexOfAddress(x), l.indexOfAddressLinear(x)) << round << " " << x;
        ASSERT_EQ(u.indexOfAddress(x), u.indexOfAddressLinear(x)) << round << " " << x;
      }
  }
}

// Every boundary of every table, its neighbours, and random addresses.
void expectSameAnswers(TMap& map, uint32_t codeBase, unsigned seed, size_t maxProbes = 100000) {
  map.CodeBase = codeBase;
  std::vector<uint32_t> offsets = {0,
                                   1,
                                   0xFFFFFFFF,
                                   map.Units.MinAddress,
                                   map.Units.MaxAddress,
                                   map.Routines.MinAddress,
                                   map.Routines.MaxAddress};
  for (const TUnit& u : map.Units)
    for (uint32_t o : {u.StartAddress, u.EndAddress})
      offsets.insert(offsets.end(), {o - 1, o, o + 1});
  for (const Tmethod& m : map.Routines)
    offsets.insert(offsets.end(), {m.StartAddress - 1, m.StartAddress, m.StartAddress + 1});
  for (size_t t = 0; t < map.LineTables.size(); ++t)
    for (const TLine& l : map.LineTables.lines(t))
      offsets.insert(offsets.end(), {l.Address - 1, l.Address, l.Address + 1});
  std::mt19937 rng(seed);
  // The scans are slow on real maps: a random sample of the boundaries is enough.
  std::shuffle(offsets.begin() + 7, offsets.end(), rng);
  if (offsets.size() > maxProbes) offsets.resize(maxProbes);
  for (size_t i = 0; i < maxProbes / 4; ++i)
    offsets.push_back(
        map.Units.MinAddress +
        static_cast<uint32_t>(rng() % (uint64_t{map.Units.MaxAddress} - map.Units.MinAddress + 2)));
  for (uint32_t o : offsets) {
    Where f = fast(map, codeBase + o);
    Where l = linear(map, codeBase + o);
    ASSERT_EQ(f, l) << "offset " << std::hex << o;
  }
}

TEST(MapLookupProperty, SyntheticMapsWithOverlapsDuplicatesAndEmptyTables) {
  std::mt19937 rng(777);
  for (int round = 0; round < 60; ++round) {
    std::string text = "Detailed map of segments\r\n\r\n";
    char buf[160];
    const int units = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < units; ++i) {
      std::snprintf(buf, sizeof buf, " %04X:%08X %08X C=CODE S=.text G=(none) M=U%d ACBP=A9\r\n",
                    static_cast<unsigned>(1 + rng() % 2), static_cast<unsigned>(rng() % 0x400),
                    static_cast<unsigned>(rng() % 0x300), static_cast<int>(rng() % 5));
      text += buf;
    }
    text += "\r\n  Address             Publics by Value\r\n\r\n";
    uint32_t at = 0;
    for (int i = 0, n = static_cast<int>(rng() % 30); i < n; ++i) {
      at += rng() % 3 == 0 ? 0 : rng() % 0x60;  // duplicate starts now and then
      std::snprintf(buf, sizeof buf, " 0001:%08X       R%d\r\n", at, i);
      text += buf;
    }
    text += "\r\n";
    for (int b = 0, n = static_cast<int>(rng() % 6); b < n; ++b) {
      std::snprintf(buf, sizeof buf, "Line numbers for U%d(U%d.pas) segment .text\r\n\r\n",
                    static_cast<int>(rng() % 6), static_cast<int>(rng() % 6));
      text += buf;
      for (int i = 0, m = static_cast<int>(rng() % 9); i < m; ++i) {
        std::snprintf(buf, sizeof buf, "%6d 0001:%08X", static_cast<int>(rng() % 500),
                      static_cast<unsigned>(rng() % 0x700));
        text += buf;
      }
      text += "\r\n\r\n";
    }
    text += "Program entry point at 0001:00000000\r\n";
    TMap map = mapFromText(text);
    ASSERT_TRUE(map.parse()) << text;
    expectSameAnswers(map, round % 2 ? 0x401000 : 0x10, 1000 + static_cast<unsigned>(round));
  }
}

class CorpusMaps : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusMaps, FastLookupGivesTheAnswersOfTheScans) {
  std::filesystem::path path = std::filesystem::path(OSTREL_CORPUS_DIR) / "maps" / GetParam();
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus at " << path;
  TMap map(path.string());
  ASSERT_TRUE(map.Loaded);
  bool parsed = map.parse();
  // The C++ linker's map puts spaces into module names; only the Delphi maps parse.
  EXPECT_EQ(parsed, GetParam().rfind("cb6_", 0) != 0);
  if (parsed) {
    EXPECT_GT(map.Units.size(), 100u);
    EXPECT_GT(map.Routines.size(), 300u);
  }
  expectSameAnswers(map, 0x401000, 99, 3000);
  expectSameAnswers(map, 0x00400000, 98, 500);

  // Parsed from the file without keeping its text: the same tables and answers.
  TMap streamed;
  EXPECT_EQ(streamed.loadAndParse(path.string()), parsed);
  EXPECT_TRUE(streamed.Loaded);
  EXPECT_TRUE(streamed.MapText.empty());
  ASSERT_EQ(streamed.Units.size(), map.Units.size());
  ASSERT_EQ(streamed.Routines.size(), map.Routines.size());
  ASSERT_EQ(streamed.LineTables.size(), map.LineTables.size());
  for (size_t t = 0; t < map.LineTables.size(); ++t) {
    ASSERT_EQ(streamed.LineTables.name(t), map.LineTables.name(t));
    ASSERT_EQ(streamed.LineTables.lines(t).size(), map.LineTables.lines(t).size());
  }
  streamed.CodeBase = map.CodeBase = 0x401000;
  std::mt19937 rng(97);
  for (int i = 0; i < 3000; ++i) {
    const uint32_t address = 0x401000 + map.Units.MinAddress +
                             static_cast<uint32_t>(rng() % (map.Units.MaxAddress + 2u));
    EXPECT_EQ(fast(streamed, address), fast(map, address)) << address;
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, CorpusMaps,
    ::testing::Values("cb6_calid-PC_Project1_nolines.map", "d2006_bdbdelphi_Project1.map",
                      "d2010_GWTBInstaller_Launcher.map", "d5_KickerFlash_Project1.map",
                      "d6_c2500emu_Project1.map", "d7_My-Ip-Scanner_exclogger_Project1.map",
                      "d7_Python-Delphi-Interaction_Project1.map",
                      "d7_delphi_circuit_calculator_Project1.map", "d7_libvdi-delphi_Project1.map",
                      "dxe5_RemoteDesktopHost_Project3.map", "dxe_improved-couscous_Project1.map",
                      "dxe_jianli_ConnectCFG_bpl_small.map", "dxe_jianli_Interfaces_bpl.map"),
    [](const ::testing::TestParamInfo<std::string>& info) {
      std::string name = info.param.substr(0, info.param.find('.'));
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(MapCorpus, KnownAddressesOfARealMap) {
  std::filesystem::path path = std::filesystem::path(OSTREL_CORPUS_DIR) / "maps" /
                               "d7_delphi_circuit_calculator_Project1.map";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus";
  TMap map(path.string());
  ASSERT_TRUE(map.parse());
  map.CodeBase = 0x401000;
  EXPECT_EQ(fast(map, 0x401000 + 0x8C7E4), (Where{"Project1", "-", "14"}));
  EXPECT_EQ(fast(map, 0x401000 + 0x6BB98 + 2), (Where{"ComplexAlg", "ComplDeg", "27"}));
  // The wrapped TlsLast public finds no unit and is not stored.
  for (const Tmethod& m : map.Routines) EXPECT_NE(m.Name, "TlsLast");
}

}  // namespace
}  // namespace ostrel
