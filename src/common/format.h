// Small text helpers shared by every layer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel {

/// "%p" of a 32-bit value: eight upper-case hexadecimal digits, zero-padded.
std::string hex8(uint32_t value);
/// "$%p": a dollar sign and eight upper-case hexadecimal digits.
std::string hexP(uint32_t value);
/// The file name of a path: everything after the last '\\', '/' or ':'.
std::string extractFileName(std::string_view path);
/// Equal texts when ASCII letter case is ignored.
bool sameText(std::string_view a, std::string_view b);
/// One argument written so that the Windows command-line rules read it back unchanged:
/// quoted when it is empty or holds blanks or quotes, backslashes doubled where they
/// precede a quote.
std::string quoteArgument(std::string_view argument);
/// UTF-16 text up to its first zero (or its end) converted to Windows-1252, unmappable
/// characters as '?'. The portable stand-in for the system ANSI code page.
std::string utf16ToCp1252(std::u16string_view text);
/// For a catch block: the message of the exception being handled ("Out of memory." for a
/// failed allocation, what() of another standard exception, "Unknown error." otherwise).
std::string currentExceptionText();

}  // namespace ostrel
