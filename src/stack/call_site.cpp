#include "stack/call_site.h"

namespace ostrel {

bool callSiteBytesMatch(uint32_t d8, uint32_t d4) {
  return (d8 & 0xFF000000u) == 0xE8000000u ||  // E8 rel32: direct near call
         (d4 & 0x38FF0000u) == 0x10FF0000u ||  // FF /2, 2 bytes
         (d4 & 0x0038FF00u) == 0x0010FF00u ||  // FF /2, 3 bytes
         (d4 & 0x000038FFu) == 0x000010FFu ||  // FF /2, 4 bytes
         (d8 & 0x38FF0000u) == 0x10FF0000u ||  // FF /2, 6 bytes
         (d8 & 0x0038FF00u) == 0x0010FF00u ||  // FF /2, 7 bytes
         (d4 & 0xFF000000u) == 0xC3000000u;    // RET just before
}

}  // namespace ostrel
