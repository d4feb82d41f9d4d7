#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "mapfile/map_text.h"
#include "mapfile/map_tokens.h"

namespace ostrel {
namespace {

std::vector<std::string> allTokens(std::string_view line) {
  std::vector<std::string> out;
  size_t pos = 1;
  for (std::string_view t = nextToken(line, pos); !t.empty(); t = nextToken(line, pos))
    out.emplace_back(t);
  return out;
}

TEST(MapTokens, OnlySpacesSeparateTokensAndTheCursorStopsOnTheEndingSpace) {
  size_t pos = 1;
  EXPECT_EQ(nextToken("  ab  cd", pos), "ab");
  EXPECT_EQ(pos, 5u);  // the space after "ab"
  EXPECT_EQ(nextToken("  ab  cd", pos), "cd");
  EXPECT_EQ(nextToken("  ab  cd", pos), "");
  EXPECT_EQ(nextToken("  ab  cd", pos), "");  // stays empty past the end
  EXPECT_EQ(allTokens("a\tb c\r"), (std::vector<std::string>{"a\tb", "c\r"}));
  EXPECT_TRUE(allTokens("").empty());
  EXPECT_TRUE(allTokens("     ").empty());
}

TEST(MapTokens, HexadecimalNumbers) {
  uint32_t v = 0;
  EXPECT_TRUE(tryReadHex("00401000", v));
  EXPECT_EQ(v, 0x00401000u);
  EXPECT_TRUE(tryReadHex("ffFFffFF", v));
  EXPECT_EQ(v, 0xFFFFFFFFu);
  EXPECT_TRUE(tryReadHex("0000000000001", v));  // leading zeros do not overflow
  EXPECT_EQ(v, 1u);
  for (const char* bad : {"", "100000000", "FFFFFFFFF", "12G4", "0x10", "$10", "-1", " 1", "1H", "A9\t"})
    EXPECT_FALSE(tryReadHex(bad, v)) << bad;
  EXPECT_THROW(readHex("XYZ"), MapFormatError);
}

TEST(MapTokens, DecimalNumbers) {
  int32_t v = 0;
  EXPECT_TRUE(tryReadDecimal("730", v));
  EXPECT_EQ(v, 730);
  EXPECT_TRUE(tryReadDecimal("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_TRUE(tryReadDecimal("+2147483647", v));
  EXPECT_EQ(v, INT32_MAX);
  for (const char* bad : {"", "-", "2147483648", "99999999999999999999", "1a", "0x1", "$1", "1.0"})
    EXPECT_FALSE(tryReadDecimal(bad, v)) << bad;
}

TEST(MapTokens, UnitNameIsTheBaseNameOfTheFileInParentheses) {
  EXPECT_EQ(unitNameFromHeader("Line numbers for Forms(C:\\src\\Forms.pas) segment .text"), "Forms");
  EXPECT_EQ(unitNameFromHeader("Line numbers for Unit1(Unit1.pas) segment .text"), "Unit1");
  EXPECT_EQ(unitNameFromHeader("Line numbers for mc68k(assemblers.pas) segment .text"), "assemblers");
  EXPECT_EQ(unitNameFromHeader("Line numbers for System.SysUtils(System.SysUtils.pas) segment .text"),
            "System.SysUtils");
  EXPECT_EQ(unitNameFromHeader("Line numbers for uBaseForm(parents\\uBaseForm.pas) segment .text"),
            "uBaseForm");
  EXPECT_EQ(unitNameFromHeader(
                "Line numbers for Project1(C:\\Users\\e\\-= SOURCES =-\\vdi\\Project1.dpr) segment .itext"),
            "Project1");
  // No "." before the ")", no delimiter before the ".", or nothing between them.
  EXPECT_EQ(unitNameFromHeader("Line numbers for Unit1(Unit1) segment .text"), "");
  EXPECT_EQ(unitNameFromHeader("Line numbers for Unit1 segment .text"), "");
  EXPECT_EQ(unitNameFromHeader("Unit1.pas)"), "");
  EXPECT_EQ(unitNameFromHeader("Line numbers for X(.pas)"), "");
  EXPECT_EQ(unitNameFromHeader(").("), "");
}

TEST(MapTokens, PublicsByValueHeaderOfEveryLinkerEra) {
  EXPECT_TRUE(isPublicsByValueHeader("  Address         Publics by Value"));
  EXPECT_TRUE(isPublicsByValueHeader("  Address             Publics by Value"));
  EXPECT_TRUE(isPublicsByValueHeader(" Address Publics by Value"));
  EXPECT_TRUE(isPublicsByValueHeader("Address Publics by Value"));
  EXPECT_TRUE(isPublicsByValueHeader("  ADDRESS         publics BY value"));
  EXPECT_FALSE(isPublicsByValueHeader("  Address         Publics by Value "));
  EXPECT_FALSE(isPublicsByValueHeader("  AddressPublics by Value"));
  EXPECT_FALSE(isPublicsByValueHeader("  Address         Publics by Name"));
  EXPECT_FALSE(isPublicsByValueHeader("\tAddress         Publics by Value"));
  EXPECT_FALSE(isPublicsByValueHeader("  Address\tPublics by Value"));
  EXPECT_FALSE(isPublicsByValueHeader("  Address         Publics  by Value"));
  EXPECT_FALSE(isPublicsByValueHeader("x Address Publics by Value"));
  EXPECT_FALSE(isPublicsByValueHeader(""));
}

TEST(MapTokens, MapFileNameReplacesTheExtensionOfTheFileName) {
  EXPECT_EQ(mapFileNameFor("C:\\app\\Project1.exe"), "C:\\app\\Project1.map");
  EXPECT_EQ(mapFileNameFor("C:\\app.v2\\Project1"), "C:\\app.v2\\Project1.map");
  EXPECT_EQ(mapFileNameFor("/tmp/a.b.exe"), "/tmp/a.b.map");
  EXPECT_EQ(mapFileNameFor("prog"), "prog.map");
}

TEST(MapTokens, TextHelpers) {
  EXPECT_EQ(trimText(" \t\r\x01 ab c \x1f"), "ab c");
  EXPECT_EQ(trimText("\t \r"), "");
  EXPECT_EQ(copyText("0001:00401000", 6, 13), "00401000");
  EXPECT_EQ(copyText("0001", 6, 13), "");
  EXPECT_EQ(copyText("ACBP=A9", 6), "A9");
  EXPECT_EQ(hexNoZeros(0), "0");
  EXPECT_EQ(hexNoZeros(0xFFB72010u), "FFB72010");
  EXPECT_EQ(hexNoZeros(0x00000A0u), "A0");
}

std::vector<std::string> linesOf(std::string text) {
  TMapText t;
  t.setText(std::move(text));
  std::vector<std::string> out;
  for (size_t i = 0; i < t.count(); ++i) out.emplace_back(t[i]);
  return out;
}

TEST(MapText, EveryLineEndCountsOnceAndAFinalBreakAddsNoLine) {
  using L = std::vector<std::string>;
  EXPECT_EQ(linesOf("a\r\nb\r\n"), (L{"a", "b"}));
  EXPECT_EQ(linesOf("a\nb\n"), (L{"a", "b"}));
  EXPECT_EQ(linesOf("a\rb\r"), (L{"a", "b"}));
  EXPECT_EQ(linesOf("a\n\rb"), (L{"a", "", "b"}));
  EXPECT_EQ(linesOf("\r\n\r\nx"), (L{"", "", "x"}));
  EXPECT_EQ(linesOf(std::string("a\0b\nc", 5)), (L{std::string("a\0b", 3), "c"}));
  EXPECT_TRUE(linesOf("").empty());
  TMapText t;
  t.setText("x");
  EXPECT_THROW(t.at(1), std::out_of_range);
}

TEST(MapText, AMissingFileLeavesTheTextAsItWas) {
  TMapText t;
  t.setText("kept");
  EXPECT_FALSE(t.loadFromFile("/nonexistent/dir/none.map"));
  ASSERT_EQ(t.count(), 1u);
  EXPECT_EQ(t[0], "kept");
}

// The block reader splits lines as the whole text does, also where a line break, or the
// CR of a CR LF, falls on a block's edge and where a line is longer than a block.
TEST(MapText, TheFileCursorReadsTheLinesOfTheWholeText) {
  const size_t block = size_t{1} << 20;
  const std::string path =
      (std::filesystem::temp_directory_path() /
       ("ostrel_cursor_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed())))
          .string();
  std::vector<std::string> texts;
  for (size_t before : {block - 2, block - 1, block, block + 1})
    for (const char* tail : {"\r\nb\r\n", "\rb\r", "\n\rb", "\r\n\r\n", "\r"})
      texts.push_back(std::string(before, 'a') + tail);
  texts.push_back("x\r\n" + std::string(3 * block + 5, 'y') + "\r\nz");
  texts.push_back("");
  for (const std::string& text : texts) {
    std::ofstream(path, std::ios::binary) << text;
    MapFileCursor cursor;
    ASSERT_TRUE(cursor.open(path));
    const std::vector<std::string> expected = linesOf(text);
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<std::string> read;
      for (cursor.rewind(); !cursor.atEnd(); cursor.advance()) read.emplace_back(cursor.line());
      cursor.advance();  // past the end: stays there
      EXPECT_TRUE(cursor.atEnd());
      ASSERT_EQ(read.size(), expected.size()) << text.size();
      EXPECT_TRUE(read == expected) << text.size();
    }
  }
  std::filesystem::remove(path);
  MapFileCursor missing;
  EXPECT_FALSE(missing.open("/nonexistent/dir/none.map"));
}

}  // namespace
}  // namespace ostrel
