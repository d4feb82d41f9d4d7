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

/// Next token of a line. `pos` is a 1-based cursor kept by the caller: spaces (character 32
/// only) are skipped, then characters up to the next space or the end are collected and
/// the cursor is left on the space that ended the token. Empty when the line has no more.
std::string_view nextToken(std::string_view line, size_t& pos);

/// Hexadecimal digits only (either case, no prefix or sign), value below 2^32.
/// False for an empty text, any other character or a larger value.
bool tryReadHex(std::string_view text, uint32_t& value);
/// An optional sign and decimal digits, within the 32-bit signed range.
bool tryReadDecimal(std::string_view text, int32_t& value);
/// As above, throwing MapFormatError when the text does not read.
uint32_t readHex(std::string_view text);
int32_t readDecimal(std::string_view text);

/// `text` from its 1-based position `start`, at most `count` characters; empty past the end.
std::string_view copyText(std::string_view text, size_t start,
                          size_t count = std::string_view::npos);

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
