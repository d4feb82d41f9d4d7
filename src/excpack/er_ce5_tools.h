// The text layers of an exception log: RC5-CBC under the built-in key, and the ciphertext
// written as pairs of base-32 digits.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel::excpack {

/// Built-in key, also used as the CBC initialisation vector.
inline constexpr std::array<uint8_t, 8> kLogKey = {0x5C, 0x93, 0x0E, 0x27,
                                                   0xB4, 0x61, 0xF8, 0x0A};
inline constexpr unsigned kLogRounds = 12;

inline constexpr const char* kRc5ConvertOverflowText =
    "Integer Overflow Error in The RC5 Convert function!";

/// Base conversion over the digits 0-9, A-Z (either case). A character that is not a digit
/// counts as the digit read just before it (reading from the right). Bases 2 to 36. Returns
/// nullopt (after showing the overflow message) when the value leaves signed 64 bits, and
/// nullopt without a message for a base out of range.
std::optional<std::string> RC5Convert(int fromBase, int toBase, std::string_view digits);

/// The byte of one digit pair: 32 * first + second, kept to 8 bits, with the digit rules
/// of RC5Convert.
uint8_t digitPairValue(char first, char second);

/// Pads with spaces to whole blocks, enciphers in CBC from the built-in vector and writes
/// two base-32 digits per byte. Empty text gives empty text.
std::string EncryptText(std::string_view text);

/// Reverse of EncryptText: whole digit pairs to bytes, whole blocks deciphered, then
/// leading and trailing characters up to space removed.
std::string DecryptText(std::string_view digits);

}  // namespace ostrel::excpack
