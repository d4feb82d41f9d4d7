// A module file laid out as the Windows loader maps it: what a process held in a module's
// image when a dump saved none of it (most dumps save no code, no import table).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel {

/// The address a module's import resolves to: the function `name` (empty when imported
/// by ordinal) or `ordinal` of `dll`; nullopt when it cannot be told.
using PeImportResolver = std::function<std::optional<uint32_t>(
    const std::string& dll, const std::string& name, uint32_t ordinal)>;

/// The image of a 32-bit PE file loaded at `base`: the headers and each section at its
/// RVA, zeros between, the base relocations applied when `base` is not the preferred
/// base, and each import address table slot filled through `resolve` (a slot it cannot
/// resolve keeps the file's value). Empty when the file is not a 32-bit image. Every
/// offset, RVA and count is checked against the file and the image: a damaged file gives
/// a partial image, never a read or write out of bounds. The image is at most maxSize
/// bytes (a damaged header must not allocate gigabytes). Throws only std::bad_alloc.
std::string loadPeImage(std::string_view file, uint32_t base, const PeImportResolver& resolve,
                        uint32_t maxSize = 256u << 20);

}  // namespace ostrel
