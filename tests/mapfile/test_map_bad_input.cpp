// Malformed maps end in a clear boolean, never a crash, a hang or a stray access; the
// sanitizers of the debug build watch every case here.
#include <gtest/gtest.h>

#include <random>

#include "map_samples.h"

namespace ostrel {
namespace {

using test::kSmallMap;
using test::mapFromText;

// Parses, then looks up addresses around everything stored, fast and linear alike.
bool parseAndProbe(const std::string& text) {
  TMap map = mapFromText(text);
  bool ok = map.parse();
  map.CodeBase = 0x401000;
  std::vector<uint32_t> probes = {0, 1, 0x100, 0x17F, 0xFFFFFFFF};
  for (const TUnit& u : map.Units) probes.insert(probes.end(), {u.StartAddress, u.EndAddress});
  for (const Tmethod& m : map.Routines) probes.push_back(m.StartAddress);
  for (uint32_t o : probes) {
    TCodeLocation a, b;
    map.lookup(0x401000 + o, a);
    map.lookupLinear(0x401000 + o, b);
    EXPECT_EQ(a.UnitName, b.UnitName);
    EXPECT_EQ(a.RoutineName, b.RoutineName);
    EXPECT_EQ(a.LineText, b.LineText);
  }
  return ok;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(MapBadInput, EmptyAndBlankTextsFailForWantOfPublics) {
  EXPECT_FALSE(parseAndProbe(""));
  EXPECT_FALSE(parseAndProbe("\r\n\r\n\n\r"));
  EXPECT_FALSE(parseAndProbe(std::string(1000, '\0')));
}

TEST(MapBadInput, TabsMakeASegmentLineOneToken) {
  EXPECT_FALSE(parseAndProbe(replaced(kSmallMap, " 0001:00000100 00000080 C=CODE",
                                      " 0001:00000100\t00000080\tC=CODE")));
  // A line of tabs only is blank and ends the section.
  TMap map = mapFromText(replaced(kSmallMap, " 0001:00000100 00000080 C=CODE", "\t\t\r\n 0001:00000100 00000080 C=CODE"));
  EXPECT_TRUE(map.parse());
  EXPECT_EQ(map.Units.size(), 1u);
}

TEST(MapBadInput, NumbersThatDoNotRead) {
  for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"0001:00000100 00000080", "0001:00000100 0000008X"},
           {"0001:00000100 00000080", "0001:00000100 100000000"},  // length beyond 32 bits
           {"0001:00000100 00000080", "0001:100000000 00000080"},
           {"0001:00000100 00000080", "000G:00000100 00000080"},
           {"0001:00000100 00000080", "0001:"},
           {"ACBP=A9\r\n 0002", "ACBP=\r\n 0002"},
           {"ACBP=A9\r\n 0002", "ACBP=ZZ\r\n 0002"},
           {" 0001:00000040       Beta", " 0001:0000004Q       Beta"},
           {" 0001:00000040       Beta", " 0001:1FFFFFFFFFFFF       Beta"},
           {" 0001:00000040       Beta", " 1:40       Beta"},
           {"    10 0001:00000100", "    99999999999 0001:00000100"},
           {"    10 0001:00000100", "    10 0001:FFFFFFFFF"},
       })
    EXPECT_FALSE(parseAndProbe(replaced(kSmallMap, from, to))) << to;
}

TEST(MapBadInput, HugeValuesThatStillReadWrapOrStayOutOfRange) {
  // start + length wraps: the entry covers nothing but still counts for the bounds.
  TMap map = mapFromText(replaced(kSmallMap, "0001:00000100 00000080", "0001:FFFFFF00 00000180"));
  ASSERT_TRUE(map.parse());
  EXPECT_EQ(map.Units[1].EndAddress, 0x80u);
  EXPECT_TRUE(parseAndProbe(replaced(kSmallMap, "0001:00000150       Delta", "0001:FFFFFFFF       Delta")));
  EXPECT_TRUE(parseAndProbe(replaced(kSmallMap, "    14 0001:00000170", "    -2147483648 0001:FFFFFFFF")));
}

TEST(MapBadInput, EveryTruncationOfAMap) {
  const std::string full = kSmallMap;
  int succeeded = 0;
  for (size_t n = 0; n <= full.size(); ++n) succeeded += parseAndProbe(full.substr(0, n)) ? 1 : 0;
  EXPECT_GT(succeeded, 0);
  EXPECT_TRUE(parseAndProbe(full.substr(0, full.find("Bound resource files") + 20)));
  EXPECT_FALSE(parseAndProbe(full.substr(0, full.find("Bound resource files") + 6)));
  EXPECT_FALSE(parseAndProbe(full.substr(0, full.find(" 0001:00000150       Delta"))));
  // Without any line block the map still loads.
  EXPECT_TRUE(parseAndProbe(full.substr(0, full.find("Line numbers for") - 1)));
}

TEST(MapBadInput, SectionsRunningToTheEndOfTheText) {
  EXPECT_FALSE(parseAndProbe("Detailed map of segments"));
  EXPECT_FALSE(parseAndProbe("Detailed map of segments\r\n\r\n\r\n"));
  EXPECT_FALSE(parseAndProbe("Detailed map of segments\r\n 0001:00000000 10"));
  EXPECT_FALSE(parseAndProbe("  Address Publics by Value"));
  EXPECT_FALSE(parseAndProbe("  Address Publics by Value\r\n\r\n 0001:00000000 A"));
  EXPECT_TRUE(parseAndProbe("  Address Publics by Value\r\n\r\n 0001:00000000 A\r\n "));
}

TEST(MapBadInput, BinaryGarbage) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 200; ++round) {
    std::string text(rng() % 4000, '\0');
    for (char& c : text) c = static_cast<char>(rng());
    // Splice real section lines in now and then so the passes get past their headers.
    if (round % 2) text.insert(rng() % (text.size() + 1), "\nDetailed map of segments\n\n 0001:00000000 ");
    if (round % 3) text.insert(rng() % (text.size() + 1), "\n  Address Publics by Value\n\n 0001:");
    if (round % 5) text.insert(rng() % (text.size() + 1), "\nLine numbers for A(A.pas)\n\n 1 0001:");
    parseAndProbe(text);
  }
}

TEST(MapBadInput, VeryLongLinesAndNames) {
  std::string longName(1 << 20, 'N');
  TMap map = mapFromText(replaced(kSmallMap, "Beta", longName));
  ASSERT_TRUE(map.parse());
  map.CodeBase = 1;
  TCodeLocation l;
  map.lookup(1 + 0x40, l);
  EXPECT_EQ(l.RoutineName.size(), longName.size());

  std::string row;
  for (int i = 0; i < 50000; ++i) row += "    10 0001:00000100";
  TMap rows = mapFromText(replaced(kSmallMap, "    10 0001:00000100", row));
  ASSERT_TRUE(rows.parse());
  EXPECT_EQ(rows.LineTables.lines(0).size(), 50003u);

  EXPECT_FALSE(parseAndProbe(std::string(3 << 20, 'x')));
  EXPECT_FALSE(parseAndProbe(std::string(3 << 20, ' ')));
}

}  // namespace
}  // namespace ostrel
