#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "excpack/component_text.h"

namespace ostrel::excpack {
namespace {

TextObject objectWith(std::vector<TextProperty> props) {
  TextObject o;
  o.className = "TAppInfo";
  o.properties = std::move(props);
  return o;
}

std::string writtenValue(const TextValue& v) {
  const std::string text = writeComponentText(objectWith({{"P", v}}));
  const std::string head = "object TAppInfo\r\n  P = ";
  const std::string tail = "\r\nend\r\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  return text.substr(head.size(), text.size() - head.size() - tail.size());
}

TEST(ComponentTextWriter, StringQuotingAndEscapes) {
  EXPECT_EQ(writtenValue(TextValue::makeString("abc")), "'abc'");
  EXPECT_EQ(writtenValue(TextValue::makeString("")), "''");
  EXPECT_EQ(writtenValue(TextValue::makeString("It's")), "'It'#39's'");
  EXPECT_EQ(writtenValue(TextValue::makeString("a\r\nb")), "'a'#13#10'b'");
  EXPECT_EQ(writtenValue(TextValue::makeString("\t")), "#9");
  EXPECT_EQ(writtenValue(TextValue::makeString("''")), "#39#39");
  EXPECT_EQ(writtenValue(TextValue::makeString(std::string("x\0y", 3))), "'x'#0'y'");
  EXPECT_EQ(writtenValue(TextValue::makeString("\xE9t\xE9")), "'\xE9t\xE9'");
}

TEST(ComponentTextWriter, LongStringsSplitAtSixtyFourCharacters) {
  const std::string exact(64, 'A');
  EXPECT_EQ(writtenValue(TextValue::makeString(exact)), "'" + exact + "'");
  EXPECT_EQ(writtenValue(TextValue::makeString(exact + "B")),
            "\r\n    '" + exact + "' +\r\n    'B'");
  // An escaped character counts as one character of its piece.
  const std::string value = std::string(63, 'x') + "'" + std::string(64, 'y');
  EXPECT_EQ(writtenValue(TextValue::makeString(value)),
            "\r\n    '" + std::string(63, 'x') + "'#39 +\r\n    '" + std::string(64, 'y') + "'");
  // Exactly two pieces: no trailing " +" on the last.
  EXPECT_EQ(writtenValue(TextValue::makeString(std::string(128, 'z'))),
            "\r\n    '" + std::string(64, 'z') + "' +\r\n    '" + std::string(64, 'z') + "'");
}

TEST(ComponentTextWriter, IntegersAndBinaries) {
  EXPECT_EQ(writtenValue(TextValue::makeInteger(-11)), "-11");
  EXPECT_EQ(writtenValue(TextValue::makeInteger(-2147483647 - 1)), "-2147483648");
  EXPECT_EQ(writtenValue(TextValue::makeBinary({})), "{}");
  EXPECT_EQ(writtenValue(TextValue::makeBinary({0x00, 0xAB, 0x10})), "{00AB10}");
  std::vector<uint8_t> b32(32, 0x5A), b40(40);
  for (int i = 0; i < 40; ++i) b40[std::size_t(i)] = uint8_t(i);
  std::string hex32;
  for (int i = 0; i < 32; ++i) hex32 += "5A";
  EXPECT_EQ(writtenValue(TextValue::makeBinary(b32)), "{\r\n    " + hex32 + "}");
  EXPECT_EQ(writtenValue(TextValue::makeBinary(b40)),
            "{\r\n    000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
            "\r\n    2021222324252627}");
}

TEST(ComponentTextWriter, NestedObjectsIndentTwoPerLevel) {
  TextObject root;
  root.className = "TExceptionPack";
  TextObject child = objectWith({{"ApplicationSize", TextValue::makeInteger(5)}});
  TextObject grandChild;
  grandChild.className = "TCallStackItem";
  child.children.push_back(grandChild);
  root.children.push_back(child);
  EXPECT_EQ(writeComponentText(root),
            "object TExceptionPack\r\n"
            "  object TAppInfo\r\n"
            "    ApplicationSize = 5\r\n"
            "    object TCallStackItem\r\n"
            "    end\r\n"
            "  end\r\n"
            "end\r\n");
  TextObject named;
  named.name = "Form1";
  named.className = "TForm";
  named.header = TextObject::Header::Inherited;
  named.position = 2;
  EXPECT_EQ(writeComponentText(named), "inherited Form1: TForm [2]\r\nend\r\n");
}

TEST(ComponentTextReader, RoundTripsEveryValueKind) {
  TextValue list;
  list.kind = TextValue::Kind::List;
  list.list = {TextValue::makeString("one"), TextValue::makeString(std::string(70, 'q')),
               TextValue::makeInteger(-3), TextValue::makeString("")};
  TextValue set;
  set.kind = TextValue::Kind::Set;
  set.setItems = {"fsBold", "fsItalic"};
  TextValue emptySet;
  emptySet.kind = TextValue::Kind::Set;
  TextValue coll;
  coll.kind = TextValue::Kind::Collection;
  coll.items.push_back({std::nullopt, {{"Caption", TextValue::makeString("Name")},
                                       {"Width", TextValue::makeInteger(200)}}});
  coll.items.push_back({int64_t(3), {}});
  TextValue flt;
  flt.kind = TextValue::Kind::Float;
  flt.text = "1.000000000000000000";
  std::string allBytes;
  for (int i = 1; i < 256; ++i) allBytes += char(i);
  std::vector<uint8_t> regs(204);
  for (std::size_t i = 0; i < regs.size(); ++i) regs[i] = uint8_t(i * 7);
  TextObject root = objectWith({{"Caption", TextValue::makeString("It's a " + std::string(200, 'w'))},
                                {"Bytes", TextValue::makeString(allBytes)},
                                {"Font.Style", set},
                                {"Anchors", emptySet},
                                {"Lines.Strings", list},
                                {"Columns", coll},
                                {"Zoom", flt},
                                {"Align", TextValue::makeIdent("alClient")},
                                {"Big", TextValue::makeInteger(INT64_MIN)},
                                {"Registers", TextValue::makeBinary(regs)}});
  TextObject child = objectWith({});
  child.name = "Child";
  root.children.push_back(child);
  const std::string text = writeComponentText(root);
  const TextObject back = parseComponentText(text);
  EXPECT_EQ(writeComponentText(back), text);
  ASSERT_EQ(back.properties.size(), root.properties.size());
  EXPECT_EQ(back.properties[0].value.text, root.properties[0].value.text);
  EXPECT_EQ(back.properties[1].value.text, allBytes);
  EXPECT_EQ(back.properties[4].value.list.size(), 4u);
  EXPECT_EQ(back.properties[8].value.integer, INT64_MIN);
  EXPECT_EQ(back.properties[9].value.binary, regs);
  ASSERT_EQ(back.children.size(), 1u);
  EXPECT_EQ(back.children[0].name, "Child");
}

TEST(ComponentTextReader, AcceptsLooserForms) {
  const TextObject o = parseComponentText(
      "OBJECT x: TAppInfo\n  A = 'it''s' + #$41\n  B = $FFFFFFFF\n  C = {0a ff}\nEnd\ntrailing");
  ASSERT_EQ(o.properties.size(), 3u);
  EXPECT_EQ(o.properties[0].value.text, "it'sA");
  EXPECT_EQ(o.properties[1].value.integer, -1);
  EXPECT_EQ(o.properties[2].value.binary, (std::vector<uint8_t>{0x0A, 0xFF}));
}

TEST(ComponentTextReader, BadInputGivesErrorsNotCrashes) {
  const char* bad[] = {
      "",
      "end",
      "object",
      "object TAppInfo",
      "object TAppInfo\r\n  A = 'open\r\nend",
      "object TAppInfo\r\n  A = #300\r\nend",
      "object TAppInfo\r\n  A = #\r\nend",
      "object TAppInfo\r\n  A = {ABC}\r\nend",
      "object TAppInfo\r\n  A = {AX}\r\nend",
      "object TAppInfo\r\n  A = {AB\r\n",
      "object TAppInfo\r\n  A = 99999999999999999999\r\nend",
      "object TAppInfo\r\n  A = 1.5e\r\nend",
      "object TAppInfo\r\n  A = [a, ]\r\nend",
      "object TAppInfo\r\n  A = (1 2\r\nend",
      "object TAppInfo\r\n  A = <item end\r\nend",
      "object TAppInfo\r\n  A = <thing end>\r\nend",
      "object TAppInfo\r\n  A 5\r\nend",
      "object TAppInfo\r\n  A = 'x' +\r\nend",
      "object TAppInfo\r\n  A = ?\r\nend",
      "object TAppInfo [x]\r\nend",
      "object : TAppInfo\r\nend",
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_THROW(parseComponentText(text), ComponentTextError);
  }
}

TEST(ComponentTextReader, DeepNestingIsRefused) {
  std::string lists = "object T\r\n A = " + std::string(100000, '(');
  EXPECT_THROW(parseComponentText(lists), ComponentTextError);
  std::string objects;
  for (int i = 0; i < 5000; ++i) objects += "object T\r\n";
  EXPECT_THROW(parseComponentText(objects), ComponentTextError);
  std::string fine = "object T\r\n A = " + std::string(50, '(') + std::string(50, ')') + "\r\nend";
  EXPECT_NO_THROW(parseComponentText(fine));
}

TEST(ComponentTextReader, ErrorNamesTheLine) {
  try {
    parseComponentText("object T\r\n  A = 1\r\n  B = ?\r\nend");
    FAIL();
  } catch (const ComponentTextError& e) {
    EXPECT_EQ(e.line(), 3);
  }
}

std::string toCrLf(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) out += '\r';
    out += s[i];
  }
  return out;
}

TEST(ComponentTextReader, RealSamplesRewriteByteForByte) {
  const std::filesystem::path dir = std::filesystem::path(OSTREL_CORPUS_DIR) / "dfm";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "corpus not present";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".dfm") continue;
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string original = toCrLf(ss.str());
    TextObject root;
    ASSERT_NO_THROW(root = parseComponentText(original));
    const std::string rewritten = writeComponentText(root);
    if (rewritten != original) {
      std::size_t i = 0;
      while (i < rewritten.size() && i < original.size() && rewritten[i] == original[i]) ++i;
      ADD_FAILURE() << "differs at byte " << i << ": ..."
                    << original.substr(i > 40 ? i - 40 : 0, 80) << "... vs ..."
                    << rewritten.substr(i > 40 ? i - 40 : 0, 80);
    }
    ++files;
  }
  EXPECT_GE(files, 3);
}

}  // namespace
}  // namespace ostrel::excpack
