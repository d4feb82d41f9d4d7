// The byte patterns that make a stack word look like a return address.
#pragma once

#include <cstdint>

namespace ostrel {

/// True when the eight bytes before a candidate (d8 = the word at c - 8, d4 = the word at
/// c - 4) end in a direct or indirect CALL, or in a RET byte.
bool callSiteBytesMatch(uint32_t d8, uint32_t d4);

}  // namespace ostrel
