// The headers, sections and export table of a 32-bit PE image read as a file (file offsets,
// not a loaded image): what names a module that has no map, and what tells the stack walker
// where a module's code lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

/// One entry of the section table.
struct PeSection {
  std::string Name;  // up to 8 characters
  uint32_t VirtualAddress = 0;
  uint32_t VirtualSize = 0;
  uint32_t RawOffset = 0;  // PointerToRawData
  uint32_t RawSize = 0;    // SizeOfRawData
  uint32_t Characteristics = 0;

  /// Holds code: marked executable or as containing code.
  bool executable() const;
  /// Bytes the section spans in the loaded image (VirtualSize, or the raw size when 0).
  uint32_t loadedSize() const;
};

/// An RVA range [Begin, End) of executable bytes.
struct PeRange {
  uint32_t Begin = 0;
  uint32_t End = 0;
};

/// A function the module exports at one of its own addresses. A function exported under
/// several names gives one entry per name; one exported by ordinal only has an empty Name.
struct PeExport {
  uint32_t Ordinal = 0;  // ordinal base included
  uint32_t Rva = 0;
  std::string Name;
};

/// An export that the loader resolves in another module ("OTHER.Name" or "OTHER.#12").
struct PeForwarder {
  uint32_t Ordinal = 0;
  std::string Name;  // empty when exported by ordinal only
  std::string Target;
};

struct PeImage {
  uint16_t Machine = 0;
  uint32_t ImageBase = 0;
  uint32_t SizeOfImage = 0;
  uint32_t BaseOfCode = 0;
  uint32_t EntryPoint = 0;  // AddressOfEntryPoint, an RVA; 0 for most DLLs
  std::vector<PeSection> Sections;
  /// Executable sections as RVA ranges, in section table order, clipped to SizeOfImage.
  std::vector<PeRange> ExecutableRanges;

  bool HasExports = false;
  std::string ModuleName;  // the export directory's own name of the module
  uint32_t OrdinalBase = 0;
  std::vector<PeExport> Exports;  // in export address table order, then name order
  std::vector<PeForwarder> Forwarders;

  /// RVA of the code the module's map counts from: BaseOfCode, or the first executable
  /// section when the header leaves it 0; 0 when there is neither.
  uint32_t codeRva() const;
  /// Whether the RVA lies in an executable section.
  bool isExecutableRva(uint32_t rva) const;
};

struct PeParseResult {
  bool Ok = false;
  /// What is wrong and where (a field and its file offset or RVA) when not Ok.
  std::string Error;
  PeImage Image;
};

/// Reads exactly `size` bytes at `offset` of the file into `buffer`; false when it cannot.
using PeByteSource = std::function<bool(uint64_t offset, void* buffer, size_t size)>;

/// Parses an image of `fileSize` bytes read through `read`. Every offset and count is checked
/// against the file before it is used, so a damaged file gives an error and never a read
/// past its end. Never throws but for std::bad_alloc.
PeParseResult parsePeImage(uint64_t fileSize, const PeByteSource& read);
/// parsePeImage() of bytes in memory.
PeParseResult parsePeImage(std::string_view file);
/// parsePeImage() of a file on disk, read in pieces; an error when it cannot be opened.
PeParseResult parsePeFile(const std::string& path);

}  // namespace ostrel
