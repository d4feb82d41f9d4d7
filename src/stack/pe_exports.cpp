#include "stack/pe_exports.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace ostrel {

namespace {

constexpr uint32_t kScnCntCode = 0x00000020;
constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint32_t kMaxSections = 96;          // the loader refuses more
constexpr uint32_t kMaxExportEntries = 65536;  // ordinals are 16-bit indexes
constexpr size_t kMaxExportName = 4096;        // decorated names can be long, not endless

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Thrown inside the parser only; parsePeImage() turns it into the result's error.
struct PeError {
  std::string text;
};

class Reader {
 public:
  Reader(uint64_t fileSize, const PeByteSource& read) : size_(fileSize), read_(read) {}

  std::vector<uint8_t> bytes(uint64_t offset, uint64_t count, const std::string& what) {
    if (offset > size_ || count > size_ - offset)
      throw PeError{what + " at file offset " + hex(offset) + " (" + std::to_string(count) +
                    " bytes) lies outside the file (" + std::to_string(size_) + " bytes)"};
    std::vector<uint8_t> out(static_cast<size_t>(count));
    if (count != 0 && !read_(offset, out.data(), out.size()))
      throw PeError{"cannot read " + what + " at file offset " + hex(offset)};
    return out;
  }

  uint64_t size() const { return size_; }

 private:
  uint64_t size_;
  const PeByteSource& read_;
};

class Parser {
 public:
  Parser(uint64_t fileSize, const PeByteSource& read) : in_(fileSize, read) {}

  PeImage run() {
    readHeaders();
    readExports();
    return std::move(image_);
  }

 private:
  void readHeaders() {
    auto dos = in_.bytes(0, 64, "DOS header");
    if (le16(dos.data()) != 0x5A4D) throw PeError{"no MZ signature at file offset 0x0"};
    const uint32_t peOffset = le32(dos.data() + 0x3C);
    // Signature, file header and the PE32 optional header up to its data directories.
    auto sig = in_.bytes(peOffset, 4 + 20, "PE signature and file header");
    if (std::memcmp(sig.data(), "PE\0\0", 4) != 0)
      throw PeError{"no PE signature at file offset " + hex(peOffset)};
    const uint8_t* fh = sig.data() + 4;
    image_.Machine = le16(fh);
    const uint32_t sectionCount = le16(fh + 2);
    const uint32_t optionalSize = le16(fh + 16);
    if (sectionCount > kMaxSections)
      throw PeError{"NumberOfSections " + std::to_string(sectionCount) + " at file offset " +
                    hex(peOffset + 6) + " exceeds " + std::to_string(kMaxSections)};
    const uint64_t optOffset = uint64_t{peOffset} + 24;
    if (optionalSize < 96)
      throw PeError{"SizeOfOptionalHeader " + std::to_string(optionalSize) + " at file offset " +
                    hex(peOffset + 20) + " is too small for a PE32 optional header"};
    auto opt = in_.bytes(optOffset, optionalSize, "optional header");
    if (le16(opt.data()) != kPe32Magic)
      throw PeError{"optional header magic " + hex(le16(opt.data())) + " at file offset " +
                    hex(optOffset) + " is not PE32 (0x10B)"};
    image_.EntryPoint = le32(opt.data() + 16);
    image_.BaseOfCode = le32(opt.data() + 20);
    image_.ImageBase = le32(opt.data() + 28);
    image_.SizeOfImage = le32(opt.data() + 56);
    const uint32_t directoryCount = std::min<uint32_t>(le32(opt.data() + 92), 16);
    if (directoryCount >= 1 && optionalSize >= 96 + 8) {
      exportRva_ = le32(opt.data() + 96);
      exportSize_ = le32(opt.data() + 100);
    }

    const uint64_t tableOffset = optOffset + optionalSize;
    auto table = in_.bytes(tableOffset, uint64_t{sectionCount} * 40, "section table");
    for (uint32_t i = 0; i < sectionCount; ++i) {
      const uint8_t* s = table.data() + size_t{i} * 40;
      PeSection section;
      section.Name.assign(reinterpret_cast<const char*>(s),
                          strnlen(reinterpret_cast<const char*>(s), 8));
      section.VirtualSize = le32(s + 8);
      section.VirtualAddress = le32(s + 12);
      section.RawSize = le32(s + 16);
      section.RawOffset = le32(s + 20);
      section.Characteristics = le32(s + 36);
      if (section.executable()) {
        const uint64_t begin = section.VirtualAddress;
        const uint64_t end = std::min<uint64_t>(begin + section.loadedSize(), image_.SizeOfImage);
        if (begin < end)
          image_.ExecutableRanges.push_back(
              {static_cast<uint32_t>(begin), static_cast<uint32_t>(end)});
      }
      image_.Sections.push_back(std::move(section));
    }
    headersSize_ = std::min<uint64_t>(le32(opt.data() + 60), in_.size());
  }

  struct Span {
    uint64_t offset;     // file offset of the RVA
    uint64_t available;  // file bytes from there to the end of its section (or headers)
  };

  // Where the bytes at `rva` lie in the file: in the headers or the file data of a section.
  Span spanOf(uint32_t rva, const std::string& what) const {
    // Sections first: a header size that claims too much must not hide them.
    for (const PeSection& s : image_.Sections) {
      if (rva < s.VirtualAddress || rva - s.VirtualAddress >= s.loadedSize()) continue;
      const uint64_t inSection = rva - s.VirtualAddress;
      if (inSection >= s.RawSize)
        throw PeError{what + " at RVA " + hex(rva) + " lies past the file data of section '" +
                      s.Name + "'"};
      return {uint64_t{s.RawOffset} + inSection, s.RawSize - inSection};
    }
    if (rva < headersSize_) return {rva, headersSize_ - rva};
    throw PeError{what + " at RVA " + hex(rva) + " lies in no section"};
  }

  std::vector<uint8_t> atRva(uint32_t rva, uint64_t count, const std::string& what) {
    const Span span = spanOf(rva, what);
    if (count > span.available)
      throw PeError{what + " at RVA " + hex(rva) + " (" + std::to_string(count) +
                    " bytes) runs past the end of its section"};
    return in_.bytes(span.offset, count, what);
  }

  // A NUL-terminated string at `rva`, within one section's file data; read in growing
  // pieces since most names are short.
  std::string stringAt(uint32_t rva, const std::string& what) {
    const Span span = spanOf(rva, what);
    const uint64_t limit =
        std::min<uint64_t>({span.available, kMaxExportName + 1,
                            span.offset < in_.size() ? in_.size() - span.offset : 0});
    for (uint64_t piece = std::min<uint64_t>(64, limit);; piece = std::min(piece * 4, limit)) {
      auto bytes = in_.bytes(span.offset, piece, what);
      auto nul = std::find(bytes.begin(), bytes.end(), uint8_t{0});
      if (nul != bytes.end()) return std::string(bytes.begin(), nul);
      if (piece == limit)
        throw PeError{what + " at RVA " + hex(rva) + " has no terminating NUL within " +
                      std::to_string(piece) + " bytes"};
    }
  }

  void readExports() {
    if (exportRva_ == 0) return;
    auto dir = atRva(exportRva_, 40, "export directory");
    const uint32_t nameRva = le32(dir.data() + 12);
    image_.OrdinalBase = le32(dir.data() + 16);
    const uint32_t functionCount = le32(dir.data() + 20);
    const uint32_t nameCount = le32(dir.data() + 24);
    const uint32_t functionsRva = le32(dir.data() + 28);
    const uint32_t namesRva = le32(dir.data() + 32);
    const uint32_t ordinalsRva = le32(dir.data() + 36);
    if (functionCount > kMaxExportEntries)
      throw PeError{"export directory at RVA " + hex(exportRva_) + " counts " +
                    std::to_string(functionCount) + " functions (at most " +
                    std::to_string(kMaxExportEntries) + ")"};
    if (nameCount > kMaxExportEntries)
      throw PeError{"export directory at RVA " + hex(exportRva_) + " counts " +
                    std::to_string(nameCount) + " names (at most " +
                    std::to_string(kMaxExportEntries) + ")"};
    image_.HasExports = true;
    if (nameRva != 0) image_.ModuleName = stringAt(nameRva, "export module name");

    std::vector<uint8_t> functions, names, ordinals;
    if (functionCount != 0)
      functions = atRva(functionsRva, uint64_t{functionCount} * 4, "export address table");
    if (nameCount != 0) {
      names = atRva(namesRva, uint64_t{nameCount} * 4, "export name pointer table");
      ordinals = atRva(ordinalsRva, uint64_t{nameCount} * 2, "export ordinal table");
    }
    // Names by function index, in name table order.
    std::vector<std::vector<std::string>> byIndex(functionCount);
    for (uint32_t i = 0; i < nameCount; ++i) {
      const uint32_t index = le16(ordinals.data() + size_t{i} * 2);
      if (index >= functionCount)
        throw PeError{"export name " + std::to_string(i) + " refers to function " +
                      std::to_string(index) + " of " + std::to_string(functionCount)};
      const uint32_t rva = le32(names.data() + size_t{i} * 4);
      byIndex[index].push_back(stringAt(rva, "export name " + std::to_string(i)));
    }
    for (uint32_t i = 0; i < functionCount; ++i) {
      const uint32_t rva = le32(functions.data() + size_t{i} * 4);
      if (rva == 0) continue;  // an unused ordinal
      const uint32_t ordinal = image_.OrdinalBase + i;
      const bool forwarded = rva >= exportRva_ && rva - exportRva_ < exportSize_;
      std::vector<std::string> entryNames = std::move(byIndex[i]);
      if (entryNames.empty()) entryNames.emplace_back();
      for (std::string& name : entryNames) {
        if (forwarded) {
          std::string target = stringAt(rva, "forwarder of export " + std::to_string(ordinal));
          image_.Forwarders.push_back({ordinal, std::move(name), std::move(target)});
        } else {
          image_.Exports.push_back({ordinal, rva, std::move(name)});
        }
      }
    }
  }

  Reader in_;
  PeImage image_;
  uint32_t exportRva_ = 0;
  uint32_t exportSize_ = 0;
  uint64_t headersSize_ = 0;
};

}  // namespace

bool PeSection::executable() const {
  return (Characteristics & (kScnMemExecute | kScnCntCode)) != 0;
}

uint32_t PeSection::loadedSize() const { return VirtualSize != 0 ? VirtualSize : RawSize; }

uint32_t PeImage::codeRva() const {
  if (BaseOfCode != 0) return BaseOfCode;
  return ExecutableRanges.empty() ? 0 : ExecutableRanges.front().Begin;
}

bool PeImage::isExecutableRva(uint32_t rva) const {
  for (const PeRange& r : ExecutableRanges)
    if (rva >= r.Begin && rva < r.End) return true;
  return false;
}

PeParseResult parsePeImage(uint64_t fileSize, const PeByteSource& read) {
  PeParseResult result;
  try {
    result.Image = Parser(fileSize, read).run();
    result.Ok = true;
  } catch (const PeError& e) {
    result.Error = e.text;
  }
  return result;
}

PeParseResult parsePeImage(std::string_view file) {
  return parsePeImage(file.size(), [file](uint64_t offset, void* buffer, size_t size) {
    if (offset > file.size() || size > file.size() - offset) return false;
    std::memcpy(buffer, file.data() + offset, size);
    return true;
  });
}

PeParseResult parsePeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    PeParseResult result;
    result.Error = "cannot open " + path;
    return result;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  if (end < 0) {
    PeParseResult result;
    result.Error = "cannot read the size of " + path;
    return result;
  }
  return parsePeImage(static_cast<uint64_t>(end),
                      [&in](uint64_t offset, void* buffer, size_t size) {
                        in.clear();
                        in.seekg(static_cast<std::streamoff>(offset));
                        in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
                        return static_cast<size_t>(in.gcount()) == size;
                      });
}

}  // namespace ostrel
