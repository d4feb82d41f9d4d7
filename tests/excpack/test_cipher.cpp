#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "excpack/er_ce5.h"
#include "excpack/er_ce5_tools.h"
#include "fake_exc_system.h"

namespace ostrel::excpack {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string toBase32Pairs(const Bytes& bytes) {
  static const char* digits = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 5];
    out += digits[b & 31];
  }
  return out;
}

// CBC with optional RFC 2040 padding (1..8 bytes of the pad count).
Bytes cbcEncrypt(const Bytes& key, unsigned rounds, const Bytes& iv, Bytes plain, bool pad) {
  if (pad) {
    const std::size_t n = 8 - plain.size() % 8;
    plain.insert(plain.end(), n, static_cast<uint8_t>(n));
  }
  Rc5Cipher cipher(key, rounds);
  Rc5Cipher::Block chain;
  std::copy(iv.begin(), iv.end(), chain.begin());
  cipher.setIv(chain);
  cipher.encryptCbc(plain);
  return plain;
}

Bytes cbcDecrypt(const Bytes& key, unsigned rounds, const Bytes& iv, Bytes data) {
  Rc5Cipher cipher(key, rounds);
  Rc5Cipher::Block chain;
  std::copy(iv.begin(), iv.end(), chain.begin());
  cipher.setIv(chain);
  cipher.decryptCbc(data);
  return data;
}

std::vector<std::string> tableCells(const std::string& line) {
  std::vector<std::string> cells;
  std::stringstream ss(line);
  std::string cell;
  std::getline(ss, cell, '|');  // before the first bar
  while (std::getline(ss, cell, '|')) {
    std::string t;
    for (char c : cell)
      if (c != ' ' && c != '*') t += c;
    cells.push_back(t);
  }
  if (!cells.empty() && cells.back().empty()) cells.pop_back();
  return cells;
}

bool isHex(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

TEST(Rc5Cipher, ProjectParametersPublishedVectors) {
  // RC5-32/12/8 rows of RFC 2040 section 9.3.
  const Bytes key = fromHex("0102030405060708");
  EXPECT_EQ(cbcEncrypt(key, 12, Bytes(8, 0), fromHex("ffffffffffffffff"), false),
            fromHex("e493f1c1bb4d6e8c"));
  EXPECT_EQ(cbcEncrypt(key, 12, fromHex("0102030405060708"), fromHex("1020304050607080"), false),
            fromHex("921f12485373b4f7"));
  EXPECT_EQ(cbcDecrypt(key, 12, fromHex("0102030405060708"), fromHex("921f12485373b4f7")),
            fromHex("1020304050607080"));
}

TEST(Rc5Cipher, BuiltInKeyComputedVectors) {
  const Bytes key(kLogKey.begin(), kLogKey.end());
  Bytes block = fromHex("4142434445464748");
  Rc5Cipher ecb(key, 12);
  ecb.encryptBlock(block.data());
  EXPECT_EQ(block, fromHex("e7cef91793a96557"));
  ecb.decryptBlock(block.data());
  EXPECT_EQ(block, fromHex("4142434445464748"));

  EXPECT_EQ(cbcEncrypt(key, 12, key, fromHex("4142434445464748"), false),
            fromHex("72d7215a726c5a08"));
  EXPECT_EQ(cbcEncrypt(key, 12, key, fromHex("30313233343536373839414243444546"), false),
            fromHex("b3606873dd0184fedac2fddc31dfc543"));
}

TEST(Rc5Cipher, KrovetzTwentyRounds) {
  Bytes block = fromHex("0001020304050607");
  Rc5Cipher cipher(fromHex("000102030405060708090A0B0C0D0E0F"), 20);
  cipher.encryptBlock(block.data());
  EXPECT_EQ(block, fromHex("2A0EDC0E9431FF73"));
}

TEST(Rc5Cipher, CorpusVectorTables) {
  const std::filesystem::path file = std::filesystem::path(OSTREL_CORPUS_DIR) / "rc5" / "VECTORS.md";
  if (!std::filesystem::exists(file)) GTEST_SKIP() << "corpus not present";
  std::ifstream in(file);
  std::string line;
  int rfcRows = 0, paperRows = 0;
  while (std::getline(in, line)) {
    if (line.rfind("| ", 0) != 0) continue;
    auto cells = tableCells(line);
    if (cells.size() == 7 && isHex(cells[3]) && isHex(cells[5])) {
      // # | pad | R | Key | IV | P | C
      SCOPED_TRACE("RFC row " + cells[0]);
      const Bytes key = fromHex(cells[3]), iv = fromHex(cells[4]);
      const unsigned rounds = unsigned(std::stoi(cells[2]));
      const bool pad = cells[1] == "1";
      const Bytes c = cbcEncrypt(key, rounds, iv, fromHex(cells[5]), pad);
      EXPECT_EQ(c, fromHex(cells[6]));
      Bytes back = cbcDecrypt(key, rounds, iv, c);
      if (pad) back.resize(back.size() - back.back());
      EXPECT_EQ(back, fromHex(cells[5]));
      ++rfcRows;
    } else if (cells.size() == 4 && cells[1].size() == 32 && isHex(cells[1]) && isHex(cells[3])) {
      // # | Key | P | C, single blocks with 12 rounds
      SCOPED_TRACE("paper row " + cells[0]);
      Bytes block = fromHex(cells[2]);
      Rc5Cipher cipher(fromHex(cells[1]), 12);
      cipher.encryptBlock(block.data());
      EXPECT_EQ(block, fromHex(cells[3]));
      ++paperRows;
    }
  }
  EXPECT_EQ(rfcRows, 29);
  EXPECT_EQ(paperRows, 5);
}

TEST(Rc5Cipher, KeyLengthLimits) {
  const Bytes empty;
  const Bytes tooLong(257, 1);
  for (const Bytes* key : {&empty, &tooLong}) {
    try {
      Rc5Cipher cipher(*key, 12);
      ADD_FAILURE() << "no error for key length " << key->size();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "RC5: Key length must be between 1 and 256 bytes");
    }
  }
  EXPECT_NO_THROW(Rc5Cipher(Bytes(256, 7), 12));
}

TEST(Rc5Cipher, CbcLeavesTrailingPartialBlock) {
  const Bytes key(kLogKey.begin(), kLogKey.end());
  Bytes data = fromHex("414243444546474899AA");
  Rc5Cipher cipher(key, 12);
  cipher.setIv(kLogKey);
  cipher.encryptCbc(data);
  EXPECT_EQ(data[8], 0x99);
  EXPECT_EQ(data[9], 0xAA);
}

class LogTextTest : public fakes::ExcPkgTest {};

TEST_F(LogTextTest, EncryptTextMatchesComputedVectors) {
  EXPECT_EQ(EncryptText("ABCDEFGH"), toBase32Pairs(fromHex("72d7215a726c5a08")));
  EXPECT_EQ(EncryptText("0123456789ABCDEF"),
            toBase32Pairs(fromHex("b3606873dd0184fedac2fddc31dfc543")));
  // 17 bytes: padded with seven spaces to three blocks.
  EXPECT_EQ(EncryptText("object TAppInfo\r\n"),
            toBase32Pairs(fromHex("8f8a76ec63b8018aaaa49162404beb93eb9074c26ae924e5")));
}

TEST_F(LogTextTest, LengthsAndPadding) {
  EXPECT_EQ(EncryptText(std::string(16, 'x')).size(), 32u);
  const std::string seventeen = "seventeen bytes!!";
  ASSERT_EQ(seventeen.size(), 17u);
  const std::string digits = EncryptText(seventeen);
  EXPECT_EQ(digits.size(), 48u);
  EXPECT_EQ(DecryptText(digits), seventeen);
  EXPECT_EQ(EncryptText(""), "");
  EXPECT_EQ(DecryptText(""), "");
}

TEST_F(LogTextTest, DecryptToleratesFileForm) {
  const std::string text = "object TExceptionPack\r\nend\r\n";
  const std::string digits = EncryptText(text);
  std::string lower = digits;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // The CR LF of the file forms one more pair (a byte 0 after the last block); a single
  // trailing character is ignored. Both leave the text minus its trimmed line end.
  EXPECT_EQ(DecryptText(digits + "\r\n"), "object TExceptionPack\r\nend");
  EXPECT_EQ(DecryptText(lower + "\r\n"), "object TExceptionPack\r\nend");
  EXPECT_EQ(DecryptText(digits + "7"), "object TExceptionPack\r\nend");
}

TEST_F(LogTextTest, DigitPairs) {
  EXPECT_EQ(digitPairValue('0', '0'), 0);
  EXPECT_EQ(digitPairValue('7', 'V'), 255);
  EXPECT_EQ(digitPairValue('7', 'v'), 255);
  EXPECT_EQ(digitPairValue('1', '0'), 32);
  EXPECT_EQ(digitPairValue('\r', '\n'), 0);
  // A non-digit takes the digit read just before it (from the right).
  EXPECT_EQ(digitPairValue('-', '5'), 5 * 32 + 5);
  EXPECT_EQ(digitPairValue('5', '-'), 5 * 32);
  EXPECT_EQ(digitPairValue('Z', 'Z'), (35 * 32 + 35) & 0xFF);
  const std::string alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabz-\r";
  for (char a : alphabet)
    for (char b : alphabet) {
      const std::string pair{a, b};
      auto dec = RC5Convert(32, 10, pair);
      ASSERT_TRUE(dec.has_value());
      EXPECT_EQ(digitPairValue(a, b), std::stoi(*dec) & 0xFF) << pair;
    }
}

TEST_F(LogTextTest, RC5ConvertRules) {
  EXPECT_EQ(RC5Convert(10, 32, "255"), "7V");
  EXPECT_EQ(RC5Convert(10, 32, "32"), "10");
  EXPECT_EQ(RC5Convert(10, 32, "0"), "0");
  EXPECT_EQ(RC5Convert(10, 32, ""), "0");
  EXPECT_EQ(RC5Convert(16, 10, "ff"), "255");
  EXPECT_EQ(RC5Convert(10, 10, "1-"), "10");
  EXPECT_EQ(RC5Convert(10, 10, "-1"), "11");
  EXPECT_EQ(RC5Convert(10, 2, "-"), "0");
  EXPECT_EQ(RC5Convert(10, 10, "9223372036854775807"), "9223372036854775807");
  EXPECT_EQ(RC5Convert(32, 10, std::string(40, '0') + "1"), "1");  // long zeros are no overflow
  EXPECT_TRUE(system.errors.empty());
  EXPECT_FALSE(RC5Convert(10, 10, "9223372036854775808").has_value());
  EXPECT_FALSE(RC5Convert(36, 10, std::string(20, 'Z')).has_value());
  ASSERT_EQ(system.errors.size(), 2u);
  EXPECT_EQ(system.errors[0], kRc5ConvertOverflowText);
  EXPECT_FALSE(RC5Convert(1, 10, "1").has_value());
  EXPECT_FALSE(RC5Convert(10, 37, "1").has_value());
}

TEST_F(LogTextTest, RoundTripsEveryByteValue) {
  std::string text;
  for (int i = 0; i < 256; ++i) text += static_cast<char>(i);
  // Leading and trailing bytes up to space are trimmed on reading; keep them inside.
  const std::string framed = "[" + text + "]";
  EXPECT_EQ(DecryptText(EncryptText(framed)), framed);
  const std::string digits = EncryptText(framed);
  EXPECT_EQ(digits.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUV"), std::string::npos);
  EXPECT_EQ(digits.size() % 16, 0u);
}

}  // namespace
}  // namespace ostrel::excpack
