#include "excpack/er_ce5_tools.h"

#include <vector>

#include "excpack/er_ce5.h"
#include "excpack/exc_pkg_system.h"

namespace ostrel::excpack {

namespace {

constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return -1;
}

std::string trimControls(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

}  // namespace

std::optional<std::string> RC5Convert(int fromBase, int toBase, std::string_view digits) {
  if (fromBase < 2 || fromBase > 36 || toBase < 2 || toBase > 36) return std::nullopt;
  int64_t value = 0;
  int64_t power = 1;
  bool powerOverflow = false;
  int previous = 0;
  for (std::size_t i = digits.size(); i-- > 0;) {
    int d = digitValue(digits[i]);
    if (d < 0) d = previous;
    previous = d;
    if (d != 0) {
      int64_t term = 0;
      if (powerOverflow || __builtin_mul_overflow(power, int64_t(d), &term) ||
          __builtin_add_overflow(value, term, &value)) {
        getExcPkgSystem().showError(kRc5ConvertOverflowText);
        return std::nullopt;
      }
    }
    if (i > 0 && !powerOverflow && __builtin_mul_overflow(power, int64_t(fromBase), &power))
      powerOverflow = true;
  }
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value % toBase]);
    value /= toBase;
  } while (value > 0);
  return out;
}

uint8_t digitPairValue(char first, char second) {
  int low = digitValue(second);
  if (low < 0) low = 0;
  int high = digitValue(first);
  if (high < 0) high = low;
  return static_cast<uint8_t>(32 * high + low);
}

std::string EncryptText(std::string_view text) {
  if (text.empty()) return {};
  std::vector<uint8_t> bytes(text.begin(), text.end());
  while (bytes.size() % Rc5Cipher::kBlockSize != 0) bytes.push_back(' ');
  Rc5Cipher cipher(kLogKey, kLogRounds);
  cipher.setIv(kLogKey);
  cipher.encryptCbc(bytes);
  cipher.burn();
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b / 32]);
    out.push_back(kDigits[b % 32]);
  }
  return out;
}

std::string DecryptText(std::string_view digits) {
  if (digits.empty()) return {};
  std::vector<uint8_t> bytes;
  bytes.reserve(digits.size() / 2);
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(digitPairValue(digits[i], digits[i + 1]));
  Rc5Cipher cipher(kLogKey, kLogRounds);
  cipher.setIv(kLogKey);
  cipher.decryptCbc(bytes);
  cipher.burn();
  std::string text(bytes.begin(), bytes.end());
  return trimControls(text);
}

}  // namespace ostrel::excpack
