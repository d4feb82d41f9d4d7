// Token and number readers for the lines of a linker map file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/format.h"

namespace ostrel {

/// A line of the map that does not read; the passes turn it into their boolean result.
class MapFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The readers below run for every number of a map with millions of them: they are inline,
// with the common short forms read without the general case's checks.
namespace map_tokens_detail {
/// Digit value of each character; 0xFF for a character that is no hexadecimal digit.
inline constexpr auto kHexValue = [] {
  struct Table {
    uint8_t v[256];
  } t{};
  for (int c = 0; c < 256; ++c)
    t.v[c] = c >= '0' && c <= '9'   ? static_cast<uint8_t>(c - '0')
             : c >= 'A' && c <= 'F' ? static_cast<uint8_t>(c - 'A' + 10)
             : c >= 'a' && c <= 'f' ? static_cast<uint8_t>(c - 'a' + 10)
                                    : uint8_t{0xFF};
  return t;
}();
bool tryReadHexLong(std::string_view text, uint32_t& value);
bool tryReadDecimalSigned(std::string_view text, int32_t& value);
[[noreturn]] void throwNotHex();
[[noreturn]] void throwNotDecimal();
}  // namespace map_tokens_detail

/// Next token of a line. `pos` is a 1-based cursor kept by the caller: spaces (character 32
/// only) are skipped, then characters up to the next space or the end are collected and
/// the cursor is left on the space that ended the token. Empty when the line has no more.
inline std::string_view nextToken(std::string_view line, size_t& pos) {
  const size_t size = line.size();
  size_t i = pos == 0 ? 0 : pos - 1;
  while (i < size && line[i] == ' ') ++i;
  const size_t start = i;
  while (i < size && line[i] != ' ') ++i;
  pos = i + 1;
  if (start >= size) return line.substr(size);
  return std::string_view(line.data() + start, i - start);
}

/// Hexadecimal digits only (either case, no prefix or sign), value below 2^32.
/// False for an empty text, any other character or a larger value.
inline bool tryReadHex(std::string_view text, uint32_t& value) {
  // Up to eight digits cannot exceed 32 bits; longer texts (leading zeros) take the
  // general way.
  if (text.empty() || text.size() > 8) return map_tokens_detail::tryReadHexLong(text, value);
  uint32_t v = 0;
  for (char c : text) {
    const uint8_t d = map_tokens_detail::kHexValue.v[static_cast<unsigned char>(c)];
    if (d > 15) return false;
    v = v << 4 | d;
  }
  value = v;
  return true;
}
/// An optional sign and decimal digits, within the 32-bit signed range.
inline bool tryReadDecimal(std::string_view text, int32_t& value) {
  // Up to nine digits without a sign cannot leave the range.
  if (text.empty() || text.size() > 9 || text[0] == '+' || text[0] == '-')
    return map_tokens_detail::tryReadDecimalSigned(text, value);
  int32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}
/// As above, throwing MapFormatError when the text does not read.
inline uint32_t readHex(std::string_view text) {
  uint32_t v = 0;
  if (!tryReadHex(text, v)) map_tokens_detail::throwNotHex();
  return v;
}
inline int32_t readDecimal(std::string_view text) {
  int32_t v = 0;
  if (!tryReadDecimal(text, v)) map_tokens_detail::throwNotDecimal();
  return v;
}

/// `text` from its 1-based position `start`, at most `count` characters; empty past the end.
inline std::string_view copyText(std::string_view text, size_t start,
                                 size_t count = std::string_view::npos) {
  if (start == 0) start = 1;
  if (start > text.size()) return {};
  return text.substr(start - 1, count);
}

/// Without leading and trailing spaces and control characters (anything up to 32).
std::string_view trimText(std::string_view text);
/// ASCII lower case copy, the key of case-insensitive name tables.
std::string lowerText(std::string_view text);

/// The unit name in a "Line numbers for Unit(file.pas) ..." header: the base name of the
/// file in parentheses; empty when the header does not hold one.
std::string_view unitNameFromHeader(std::string_view line);

/// Leading spaces, "Address", one or more spaces, "Publics by Value", nothing after,
/// letter case ignored. Older linkers put nine spaces between the words, later ones
/// thirteen, C++ linkers one.
bool isPublicsByValueHeader(std::string_view line);

/// The program path with its extension replaced by ".map" (appended when it has none).
std::string mapFileNameFor(std::string_view programPath);

/// Upper-case hexadecimal without leading zeros ("0" for zero).
std::string hexNoZeros(uint32_t value);

}  // namespace ostrel
