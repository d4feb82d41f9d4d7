// libFuzzer target: any bytes as a PE file, through the header, section and export readers
// (from memory and through a byte source that reads in pieces), the export search of the
// symbolizer against a plain scan, and the image laid out as the loader would.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <optional>
#include <string_view>

#include "stack/pe_exports.h"
#include "stack/pe_loaded_image.h"
#include "stack/symbolizer.h"

namespace {

// The nearest export at or below the RVA in the same executable range, by a plain scan; the
// first listed wins among several at one address.
std::string routineByScan(const ostrel::PeImage& image, uint32_t rva) {
  const ostrel::PeExport* best = nullptr;
  for (const ostrel::PeExport& e : image.Exports)
    if (e.Rva <= rva && (best == nullptr || e.Rva > best->Rva)) best = &e;
  if (best == nullptr) return {};
  bool sameRange = false;
  for (const ostrel::PeRange& r : image.ExecutableRanges)
    sameRange |= best->Rva >= r.Begin && best->Rva < r.End && rva >= r.Begin && rva < r.End;
  if (!sameRange) return {};
  std::string name = best->Name.empty() ? "#" + std::to_string(best->Ordinal) : best->Name;
  if (rva != best->Rva) {
    char offset[16];
    std::snprintf(offset, sizeof offset, "+$%X", static_cast<unsigned>(rva - best->Rva));
    name += offset;
  }
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const ostrel::PeParseResult direct = ostrel::parsePeImage(file);
  const ostrel::PeParseResult pieces =
      ostrel::parsePeImage(size, [file](uint64_t offset, void* buffer, size_t count) {
        if (offset > file.size() || count > file.size() - offset) std::abort();  // unchecked read
        std::memcpy(buffer, file.data() + offset, count);
        return true;
      });
  if (direct.Ok != pieces.Ok || direct.Error != pieces.Error) std::abort();
  if (!direct.Ok) {
    if (direct.Error.empty()) std::abort();  // every failure says why
    return 0;
  }
  const ostrel::PeImage& image = direct.Image;
  for (const ostrel::PeRange& r : image.ExecutableRanges)
    if (r.Begin >= r.End || r.End > image.SizeOfImage) std::abort();

  const ostrel::Symbolizer::ExportIndex index(image);
  uint32_t probes[] = {0, 1, image.SizeOfImage, image.SizeOfImage - 1, 0xFFFFFFFFu};
  for (uint32_t rva : probes)
    if (index.routineAt(rva) != routineByScan(image, rva)) std::abort();
  for (const ostrel::PeExport& e : image.Exports)
    for (uint32_t delta : {0u, 1u, 0x1Au})
      if (index.routineAt(e.Rva + delta) != routineByScan(image, e.Rva + delta)) std::abort();

  // Laid out as loaded somewhere else, its relocations and import tables followed (the
  // sanitizers catch any access out of bounds); a small cap keeps huge sizes cheap.
  constexpr uint32_t kCap = 1u << 20;
  const std::string loaded = ostrel::loadPeImage(
      file, image.ImageBase + 0x10000,
      [](const std::string& dll, const std::string& name, uint32_t ordinal) {
        return std::optional<uint32_t>(static_cast<uint32_t>(dll.size() + name.size() + ordinal));
      },
      kCap);
  if (loaded.size() != (image.Sections.empty() ? 0 : std::min(image.SizeOfImage, kCap))) std::abort();
  return 0;
}
