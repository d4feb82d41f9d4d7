#include "stack/pe_loaded_image.h"

#include <algorithm>
#include <cstring>

#include "stack/pe_exports.h"

namespace ostrel {
namespace {

constexpr uint32_t kImportDirectory = 1;
constexpr uint32_t kRelocationDirectory = 5;
constexpr uint16_t kRelocHighLow = 3;
constexpr uint32_t kOrdinalFlag = 0x80000000u;
constexpr size_t kMaxNameLength = 4096;
// Far beyond any real module; a damaged table must not keep us busy for minutes.
constexpr uint32_t kMaxDescriptors = 4096;
constexpr uint32_t kMaxImports = 1u << 18;

// Reads and writes of the laid-out image, each checked against its size.
class Image {
 public:
  explicit Image(std::string& bytes) : bytes_(bytes) {}

  bool has(uint64_t rva, uint64_t n) const { return rva <= bytes_.size() && n <= bytes_.size() - rva; }
  std::optional<uint32_t> u32(uint64_t rva) const {
    if (!has(rva, 4)) return std::nullopt;
    uint32_t value;
    std::memcpy(&value, bytes_.data() + rva, 4);  // the image is little-endian, as are we
    return value;
  }
  std::optional<uint16_t> u16(uint64_t rva) const {
    if (!has(rva, 2)) return std::nullopt;
    uint16_t value;
    std::memcpy(&value, bytes_.data() + rva, 2);
    return value;
  }
  bool put32(uint64_t rva, uint32_t value) {
    if (!has(rva, 4)) return false;
    std::memcpy(bytes_.data() + rva, &value, 4);
    return true;
  }
  /// A zero-terminated name at rva; empty when it runs past the image or is too long.
  std::string name(uint64_t rva) const {
    if (rva >= bytes_.size()) return {};
    const size_t limit = std::min<size_t>(bytes_.size() - rva, kMaxNameLength);
    const char* start = bytes_.data() + rva;
    const void* end = std::memchr(start, 0, limit);
    return end ? std::string(start, static_cast<const char*>(end)) : std::string();
  }
  size_t size() const { return bytes_.size(); }

 private:
  std::string& bytes_;
};

struct Directory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

// A data directory of the optional header, read from the image's headers.
Directory directory(const Image& image, uint32_t index) {
  const auto peOffset = image.u32(0x3C);
  if (!peOffset) return {};
  const uint64_t optional = uint64_t{*peOffset} + 24;
  const auto count = image.u32(optional + 92);
  if (!count || index >= *count) return {};
  const auto rva = image.u32(optional + 96 + 8 * uint64_t{index});
  const auto size = image.u32(optional + 100 + 8 * uint64_t{index});
  if (!rva || !size) return {};
  return {*rva, *size};
}

void relocate(Image& image, uint32_t delta) {
  const Directory relocs = directory(image, kRelocationDirectory);
  uint64_t at = relocs.rva;
  const uint64_t end = std::min<uint64_t>(uint64_t{relocs.rva} + relocs.size, image.size());
  while (at + 8 <= end) {
    const uint32_t page = *image.u32(at);
    const uint32_t blockSize = *image.u32(at + 4);
    if (blockSize < 8 || blockSize > end - at) break;  // damaged: stop rather than guess
    for (uint64_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
      const uint16_t entry = *image.u16(e);
      if (entry >> 12 != kRelocHighLow) continue;  // padding, or kinds a 32-bit image lacks
      const uint64_t target = uint64_t{page} + (entry & 0xFFF);
      if (auto value = image.u32(target)) image.put32(target, *value + delta);
    }
    at += blockSize;
  }
}

void bindImports(Image& image, const PeImportResolver& resolve) {
  const Directory imports = directory(image, kImportDirectory);
  if (imports.rva == 0) return;
  // Descriptors end at an all-zero one; the image and the caps bound them all the same.
  uint32_t imported = 0;
  for (uint64_t d = imports.rva, n = 0; n < kMaxDescriptors && image.has(d, 20); d += 20, ++n) {
    const uint32_t lookup = *image.u32(d);
    const uint32_t nameRva = *image.u32(d + 12);
    const uint32_t iat = *image.u32(d + 16);
    if (nameRva == 0 && iat == 0) break;
    const std::string dll = image.name(nameRva);
    if (dll.empty() || iat == 0) continue;
    // The lookup table keeps the names; without one the table to fill holds them.
    const uint64_t names = lookup != 0 ? lookup : iat;
    for (uint64_t i = 0; imported < kMaxImports; ++i, ++imported) {
      const auto thunk = image.u32(names + 4 * i);
      if (!thunk || *thunk == 0 || !image.has(iat + 4 * i, 4)) break;
      std::optional<uint32_t> address;
      if (*thunk & kOrdinalFlag)
        address = resolve(dll, {}, *thunk & 0xFFFF);
      else
        address = resolve(dll, image.name(uint64_t{*thunk} + 2), 0);
      if (address) image.put32(iat + 4 * i, *address);
    }
  }
}

}  // namespace

std::string loadPeImage(std::string_view file, uint32_t base, const PeImportResolver& resolve,
                        uint32_t maxSize) {
  const PeParseResult pe = parsePeImage(file);
  if (!pe.Ok || pe.Image.Sections.empty()) return {};
  std::string bytes(std::min(pe.Image.SizeOfImage, maxSize), '\0');
  const size_t headers =
      std::min<size_t>({pe.Image.Sections[0].VirtualAddress, file.size(), bytes.size()});
  bytes.replace(0, headers, file.substr(0, headers));
  for (const PeSection& s : pe.Image.Sections) {
    if (s.VirtualAddress >= bytes.size() || s.RawOffset >= file.size()) continue;
    const size_t n = std::min<size_t>(
        {s.RawSize, s.loadedSize(), file.size() - s.RawOffset, bytes.size() - s.VirtualAddress});
    bytes.replace(s.VirtualAddress, n, file.substr(s.RawOffset, n));
  }
  Image image(bytes);
  if (base != pe.Image.ImageBase) relocate(image, base - pe.Image.ImageBase);
  if (resolve) bindImports(image, resolve);
  return bytes;
}

}  // namespace ostrel
