#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "map_samples.h"

namespace ostrel {
namespace {

using test::kSmallMap;
using test::mapFromText;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(MapParse, SmallMapFillsTheThreeTables) {
  TMap map = mapFromText(kSmallMap);
  ASSERT_TRUE(map.parse());

  ASSERT_EQ(map.Units.size(), 3u);
  const TUnit& u1 = map.Units[1];
  EXPECT_EQ(u1.StartAddress, 0x100u);
  EXPECT_EQ(u1.EndAddress, 0x180u);
  EXPECT_EQ(u1.GroupName, "(none)");
  EXPECT_EQ(u1.Name, "Unit1");
  EXPECT_EQ(u1.Acbp, 0xA9);
  EXPECT_EQ(map.Units[2].GroupName, "DGROUP");
  EXPECT_EQ(map.Units.MinAddress, 0u);
  EXPECT_EQ(map.Units.MaxAddress, 0x180u);

  // Tables in order of first use: Unit1 by the line pass, System by the publics pass.
  ASSERT_EQ(map.LineTables.size(), 2u);
  EXPECT_EQ(map.LineTables.name(0), "Unit1");
  EXPECT_EQ(map.LineTables.name(1), "System");
  const TLines& lines = map.LineTables.lines(0);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3].LineNumber, 14);
  EXPECT_EQ(lines[3].Address, 0x170u);

  ASSERT_EQ(map.Routines.size(), 4u);
  EXPECT_EQ(map.Routines[0].Name, "Alpha");
  EXPECT_EQ(map.Routines[0].UnitIndex, 2);  // the data entry of Unit1 also covers 0..10
  EXPECT_EQ(map.Routines[1].UnitIndex, 0);
  EXPECT_EQ(map.Routines[1].LineTableIndex, 1);
  EXPECT_EQ(map.Routines[2].UnitIndex, 1);
  EXPECT_EQ(map.Routines[2].LineTableIndex, 0);
  EXPECT_EQ(map.Routines.MinAddress, 0u);
  EXPECT_EQ(map.Routines.MaxAddress, 0x150u);
  EXPECT_EQ(map.Units[0].LineTableIndex, 1);
  EXPECT_EQ(map.Units[1].LineTableIndex, 0);
  EXPECT_EQ(map.Units[2].LineTableIndex, 0);
}

TEST(MapParse, LineEndsOfAnyKindGiveTheSameTables) {
  std::string lf, cr;
  for (char c : std::string(kSmallMap)) {
    if (c == '\r') continue;
    lf += c;
    cr += c == '\n' ? '\r' : c;
  }
  for (const std::string& text : {lf, cr}) {
    TMap map = mapFromText(text);
    ASSERT_TRUE(map.parse());
    EXPECT_EQ(map.Units.size(), 3u);
    EXPECT_EQ(map.Routines.size(), 4u);
    EXPECT_EQ(map.LineTables.lines(0).size(), 4u);
  }
}

TEST(MapParse, ShortSegmentLinesKeepEmptyFields) {
  TMap map = mapFromText(replaced(
      kSmallMap, " 0001:00000100 00000080 C=CODE     S=.text    G=(none)   M=Unit1    ACBP=A9",
      " 0001:00000100 00000080 C=CODE"));
  ASSERT_TRUE(map.parse());
  const TUnit& u = map.Units[1];
  EXPECT_EQ(u.EndAddress, 0x180u);
  EXPECT_EQ(u.Name, "");
  EXPECT_EQ(u.GroupName, "");
  EXPECT_EQ(u.Acbp, 0);

  TMap lone = mapFromText(replaced(
      kSmallMap, " 0001:00000100 00000080 C=CODE     S=.text    G=(none)   M=Unit1    ACBP=A9",
      " 0001:00000100"));
  ASSERT_TRUE(lone.parse());
  EXPECT_EQ(lone.Units[1].StartAddress, 0x100u);
  EXPECT_EQ(lone.Units[1].EndAddress, 0x100u);  // no length: a zero-length entry
}

TEST(MapParse, SectionHeadersMatchWholeLinesInAnyCase) {
  TMap lower =
      mapFromText(replaced(kSmallMap, "Detailed map of segments", "DETAILED MAP OF SEGMENTS"));
  ASSERT_TRUE(lower.parse());
  EXPECT_EQ(lower.Units.size(), 3u);

  // A trailing space hides the segment section: no units, every public unmatched.
  TMap hidden =
      mapFromText(replaced(kSmallMap, "Detailed map of segments", "Detailed map of segments "));
  std::string report;
  hidden.OnMessage = [&](const std::string& t) {
    if (t.rfind("Unit(s)", 0) == 0) report = t;
  };
  ASSERT_TRUE(hidden.parse());
  EXPECT_EQ(hidden.Units.size(), 0u);
  EXPECT_EQ(hidden.Routines.size(), 0u);
  EXPECT_EQ(report,
            "Unit(s) Not Found!\r\n"
            " 0001:00000000       Alpha Address : $0\r\n"
            " 0001:00000040       Beta Address : $40\r\n"
            " 0001:00000100       Gamma Address : $100\r\n"
            " 0001:00000150       Delta Address : $150\r\n"
            "\r\n");

  TMap modern = mapFromText(replaced(kSmallMap, "  Address         Publics by Value",
                                     "  Address             Publics by Value"));
  EXPECT_TRUE(modern.parse());
  EXPECT_EQ(modern.Routines.size(), 4u);

  TMap noPublics = mapFromText(replaced(kSmallMap, "  Address         Publics by Value",
                                        "  Address         Publics by Value "));
  EXPECT_FALSE(noPublics.parse());
  EXPECT_EQ(noPublics.Units.size(), 3u);  // earlier passes keep what they stored
  EXPECT_EQ(noPublics.LineTables.lines(0).size(), 4u);
}

TEST(MapParse, LineBlockHeaderRules) {
  TMap lower = mapFromText(replaced(kSmallMap, "Line numbers for Unit1", "line numbers for Unit1"));
  ASSERT_TRUE(lower.parse());
  EXPECT_EQ(lower.LineTables.indexOf("Unit1"), 0);  // created by the publics pass, empty
  EXPECT_TRUE(lower.LineTables.lines(0).empty());

  // A header without a file extension is passed over; the next block is still read.
  std::string two = replaced(kSmallMap, "Line numbers for Unit1(C:\\src\\Unit1.pas) segment .text",
                             "Line numbers for Unit1(Unit1) segment .text\r\n\r\n"
                             "    90 0001:00000000\r\n\r\n"
                             "Line numbers for Unit1(Unit1.pas) segment .text");
  TMap skipped = mapFromText(two);
  ASSERT_TRUE(skipped.parse());
  EXPECT_EQ(skipped.LineTables.lines(0).size(), 4u);
  EXPECT_EQ(skipped.LineTables.lines(0)[0].LineNumber, 10);

  // Blocks keyed by the same name, in any case, append to one table.
  TMap twice = mapFromText(replaced(kSmallMap, "\r\nBound resource files",
                                    "\r\nLine numbers for UNIT1(Unit1.pas) segment .itext\r\n\r\n"
                                    "     5 0002:00000004\r\n\r\nBound resource files"));
  ASSERT_TRUE(twice.parse());
  ASSERT_EQ(twice.LineTables.lines(0).size(), 5u);
  EXPECT_EQ(twice.LineTables.lines(0)[4].Address, 4u);
}

TEST(MapParse, LineRowPairs) {
  TMap map = mapFromText(replaced(kSmallMap, "    11 0001:00000110", "    11 00000110"));
  ASSERT_TRUE(map.parse());
  const TLines& lines = map.LineTables.lines(0);
  ASSERT_EQ(lines.size(), 3u);  // the pair without ":" is dropped, the rest read
  EXPECT_EQ(lines[1].LineNumber, 12);

  TMap odd = mapFromText(replaced(kSmallMap, "    14 0001:00000170", "    14 0001:00000170    15"));
  ASSERT_TRUE(odd.parse());
  EXPECT_EQ(odd.LineTables.lines(0).size(), 4u);

  EXPECT_FALSE(mapFromText(replaced(kSmallMap, "    10 0001", "    1O 0001")).parse());
  EXPECT_FALSE(mapFromText(replaced(kSmallMap, "0001:00000120", "0001:0000012G")).parse());
  EXPECT_FALSE(mapFromText(replaced(kSmallMap, "0001:00000120", "0001:")).parse());
  EXPECT_FALSE(mapFromText(replaced(kSmallMap, "0001:00000120", "XY:00000120")).parse());
}

TEST(MapParse, TheLastBlockNeedsAClosingSection) {
  std::string text = kSmallMap;
  text = text.substr(0, text.find("Bound resource files"));
  EXPECT_FALSE(mapFromText(text).parse());
  EXPECT_TRUE(mapFromText(text + "Program entry point at 0001:00000100").parse());
  // A header on the last line, or followed by one line only.
  std::string header = "Line numbers for Unit1(C:\\src\\Unit1.pas) segment .text";
  std::string cut = std::string(kSmallMap).substr(0, std::string(kSmallMap).find(header));
  EXPECT_FALSE(mapFromText(cut + header).parse());
  EXPECT_FALSE(mapFromText(cut + header + "\r\n").parse());
  EXPECT_FALSE(mapFromText(cut + header + "\r\n\r\n").parse());
}

TEST(MapParse, MessagesProgressAndElapsedTime) {
  std::string units;
  for (int i = 0; i < 25; ++i) {
    char line[96];
    std::snprintf(line, sizeof line,
                  " 0001:%08X 00000010 C=CODE     S=.text    G=(none)   M=U%d ACBP=A9\r\n", i * 16,
                  i);
    units += line;
  }
  std::string text = "Detailed map of segments\r\n\r\n" + units +
                     "\r\n  Address         Publics by Value\r\n\r\n 0001:00000000       P\r\n\r\n";
  TMap map = mapFromText(text);
  std::vector<std::string> messages;
  std::vector<std::pair<std::string, int>> unitProgress, routineProgress, lineProgress;
  map.OnMessage = [&](const std::string& t) { messages.push_back(t); };
  map.OnUnitsProgress = [&](const std::string& t, int n) { unitProgress.emplace_back(t, n); };
  map.OnRoutinesProgress = [&](const std::string& t, int n) { routineProgress.emplace_back(t, n); };
  map.OnLinesProgress = [&](const std::string& t, int n) { lineProgress.emplace_back(t, n); };
  test::RecordingFeedback feedback;
  feedback.clock = {1000, 1000 + 3723004};
  test::ScopedFeedback scoped(feedback);
  ASSERT_TRUE(map.parse());
  EXPECT_EQ(messages,
            (std::vector<std::string>{
                "Loading Map file...\r\n", "Loading units informations...\r\n",
                "Loading lines informations...\r\n", "Loading methods informations...\r\n",
                "Elapsed time 1 hour 2 minute 3 secundum 4 milisec."}));
  using P = std::vector<std::pair<std::string, int>>;
  EXPECT_EQ(unitProgress, (P{{"U9", 10}, {"U19", 20}, {"U24", 25}}));
  EXPECT_EQ(routineProgress, (P{{"P", 1}}));
  EXPECT_EQ(lineProgress, (P{{"", 0}}));
}

TEST(MapParse, ElapsedTimeIsReportedWhenAPassFails) {
  TMap map = mapFromText("Detailed map of segments\r\n\r\n 0001:0000000G 10\r\n\r\n");
  std::vector<std::string> messages;
  map.OnMessage = [&](const std::string& t) { messages.push_back(t); };
  EXPECT_FALSE(map.parse());
  ASSERT_EQ(messages.size(), 3u);  // the later passes did not run
  EXPECT_EQ(messages.back().rfind("Elapsed time ", 0), 0u);
}

TEST(MapParse, ASecondParseAppends) {
  TMap map = mapFromText(kSmallMap);
  ASSERT_TRUE(map.parse());
  ASSERT_TRUE(map.parse());
  EXPECT_EQ(map.Units.size(), 6u);
  EXPECT_EQ(map.Routines.size(), 8u);
  EXPECT_EQ(map.LineTables.size(), 2u);
  EXPECT_EQ(map.LineTables.lines(0).size(), 8u);
}

class MapFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("ostrel_map_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    TMap::releaseMap();
  }
  void TearDown() override {
    TMap::releaseMap();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string write(const std::string& name, const std::string& text) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::filesystem::path dir_;
  test::RecordingFeedback feedback_;
};

TEST_F(MapFiles, LoadMapFileReadsOnlyExistingFiles) {
  TMap map(write("a.map", kSmallMap));
  EXPECT_TRUE(map.Loaded);
  EXPECT_EQ(map.Units.size(), 0u);  // nothing parsed yet
  map.loadMapFile((dir_ / "missing.map").string());
  EXPECT_FALSE(map.Loaded);
  EXPECT_EQ(map.MapFileName, (dir_ / "a.map").string());
  EXPECT_FALSE(map.loadSymbols());
}

TEST_F(MapFiles, LoadSymbolsShowsTheHourglassAndTheErrorBox) {
  test::ScopedFeedback scoped(feedback_);
  std::string bad = write("bad.map", "Detailed map of segments\r\n\r\n\tx\r\n\r\n");
  TMap map(bad);
  EXPECT_FALSE(map.loadSymbols());
  EXPECT_EQ(feedback_.errors, (std::vector<std::string>{"Can not to load " + bad + "MAP file!"}));
  EXPECT_EQ(feedback_.waits, 1);
  EXPECT_EQ(feedback_.depth, 0);

  TMap good(write("good.map", kSmallMap));
  EXPECT_TRUE(good.loadSymbols());
  EXPECT_EQ(feedback_.errors.size(), 1u);
}

TEST_F(MapFiles, LoadMapForKeepsTheFirstSuccess) {
  test::ScopedFeedback scoped(feedback_);
  std::string exe = (dir_ / "Project1.exe").string();
  EXPECT_FALSE(TMap::loadMapFor(exe));  // no map yet: silent, retried later
  ASSERT_NE(globalMap(), nullptr);
  EXPECT_TRUE(globalMap()->ProgramName.empty());
  EXPECT_TRUE(feedback_.errors.empty());
  EXPECT_EQ(feedback_.depth, 0);

  write("Project1.map", kSmallMap);
  EXPECT_TRUE(TMap::loadMapFor(exe));
  EXPECT_EQ(globalMap()->ProgramName, exe);
  EXPECT_FALSE(TMap::loadMapFor(exe));
  EXPECT_FALSE(TMap::loadMapFor((dir_ / "Other.exe").string()));
  EXPECT_EQ(globalMap()->Units.size(), 3u);

  TCodeLocation at = TMap::addressInfo(0x401000, 0x401110);
  EXPECT_EQ(at.UnitName, "Unit1");
  EXPECT_EQ(at.RoutineName, "Gamma");
  EXPECT_EQ(at.LineText, "11");
  EXPECT_EQ(globalMap()->CodeBase, 0u);  // the code base is an argument, not a swap of the field

  TMap::releaseMap();
  EXPECT_EQ(globalMap(), nullptr);
  at = TMap::addressInfo(0x401000, 0x401110);
  EXPECT_TRUE(at.UnitName.empty() && at.RoutineName.empty() && at.LineText.empty());
}

TEST_F(MapFiles, AStreamedMapLargerThanItsReadsGivesTheTablesOfTheText) {
  // The publics pass goes straight to where the line pass saw the publics: here past the
  // first reads of the file, behind lines of every ending, with rows spanning reads too.
  std::string big = kSmallMap;
  std::string byName = "  Address         Publics by Name\r\n\r\n";
  const char* ends[] = {"\r\n", "\n", "\r"};
  for (int i = 0; byName.size() < (3u << 20) / 2; ++i)
    byName += " 0001:00000040       ByName" + std::to_string(i) + ends[i % 3];
  std::string rows;
  for (int i = 0; i < 60000; ++i) {
    char row[64];
    std::snprintf(row, sizeof row, " 0001:%08X       R%d%s", i % 0x180, i, ends[i % 2]);
    rows += row;
  }
  big = replaced(big, "\r\n\r\n  Address         Publics by Value",
                 "\r\n\r\n" + byName + "\r\n\r\n  Address         Publics by Value");
  big = replaced(big, "       Alpha\r\n", "       Alpha\r\n" + rows);
  TMap text = mapFromText(big);
  ASSERT_TRUE(text.parse());
  ASSERT_EQ(text.Routines.size(), 60004u);
  TMap streamed;
  ASSERT_TRUE(streamed.loadAndParse(write("big.map", big)));
  ASSERT_EQ(streamed.Routines.size(), text.Routines.size());
  for (size_t i = 0; i < text.Routines.size(); ++i) {
    const Tmethod &a = streamed.Routines[i], &b = text.Routines[i];
    ASSERT_EQ(std::tie(a.Name, a.StartAddress, a.UnitIndex, a.LineTableIndex),
              std::tie(b.Name, b.StartAddress, b.UnitIndex, b.LineTableIndex))
        << i;
  }
  ASSERT_EQ(streamed.LineTables.size(), text.LineTables.size());
  for (size_t t = 0; t < text.LineTables.size(); ++t)
    EXPECT_EQ(streamed.LineTables.name(t), text.LineTables.name(t));
}

TEST_F(MapFiles, ARetryAfterAFailedParseDoesNotPileUpEntries) {
  test::ScopedFeedback scoped(feedback_);
  std::string exe = (dir_ / "App.exe").string();
  std::string noEnd =
      std::string(kSmallMap).substr(0, std::string(kSmallMap).find("Bound resource"));
  write("App.map", noEnd);
  EXPECT_FALSE(TMap::loadMapFor(exe));
  EXPECT_FALSE(TMap::loadMapFor(exe));
  EXPECT_EQ(feedback_.errors.size(), 2u);
  EXPECT_EQ(globalMap()->Units.size(), 3u);
  write("App.map", kSmallMap);
  EXPECT_TRUE(TMap::loadMapFor(exe));
  EXPECT_EQ(globalMap()->Units.size(), 3u);
  EXPECT_EQ(globalMap()->Routines.size(), 4u);
}

}  // namespace
}  // namespace ostrel
