#include "engine/stack_scan.h"

#include <algorithm>
#include <unordered_map>
#include <cstdio>

#include "common/format.h"

namespace ostrel {
int gHhQ=0,gHhR=0,gHhE=0;
namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
constexpr uint32_t kPageSize = 0x1000;
// Every read from another process pays a round trip that dwarfs the copying (by far
// under Wine), so reads are few and large. The first stack chunk is small because
// first-chance scans usually stop after a few dozen entries; later chunks grow fast, and
// a scan without a depth limit reads everything at once.
constexpr uint32_t kFirstChunkBytes = 4 * 1024;
constexpr uint32_t kMaxChunkBytes = 4 * 1024 * 1024;
constexpr uint32_t kChunkGrowth = 16;
constexpr uint32_t kCodeBlockBytes = kPageSize;  // code bytes come a page at a time
constexpr size_t kCodeBlockSlots = 32;
// Learning the module extents costs a few queries per module; it pays off only once
// many different pages had to be asked about.
constexpr int kQueriesBeforeImages = 16;

/// Runs body; any error escaping it becomes a StackScanError with the step's text.
template <class F>
auto guarded(const char* text, F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    throw StackScanError(text);
  }
}

uint32_t le32(const uint8_t* b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

/// One 32-bit word of the debuggee; false when it cannot be read whole.
bool readWord(DebugPlatform& platform, Handle process, uint64_t address, uint32_t& value) {
  if (address + 4 > kAddressSpace) return false;
  uint8_t bytes[4];
  uint32_t got = 0;
  ++gHhR; if (!platform.readMemory(process, static_cast<Address>(address), bytes, 4, &got) || got != 4)
    return false;
  value = le32(bytes);
  return true;
}

Handle allocationBaseIfCommitted(DebugPlatform& platform, Handle process, Address address) {
  ++gHhQ; if (gHhE < 2) std::fprintf(stderr, "q %08x\n", address); auto region = platform.queryRegion(process, address);
  return region && region->state == kMemCommit ? region->allocationBase : 0;
}

/// What one scan learns about the debuggee once and then reuses: the module list, the
/// extent of each module image, the module test per page and blocks of code bytes.
/// The debuggee is stopped meanwhile, so every answer stays true for the whole scan.
class ScanContext {
 public:
  ScanContext(DebugPlatform& platform, Handle process)
      : platform_(platform), process_(process), blocks_(kCodeBlockSlots) {}

  /// Marks the scanned stack as holding no module when the OS puts its first and last
  /// pages in one allocation that is not a module: an allocation is contiguous, so every
  /// page between shares it. This spares a query per page of the many pointers into the
  /// stack itself.
  void noteStack(Address lower, Address upper) {
    if (upper <= lower || process_ == 0) return;
    const Address first = lower & ~(kPageSize - 1);
    const Address last = (upper - 1) & ~(kPageSize - 1);
    const bool shared = guarded(kModuleFromAddressError, [&] {
      auto a = allocationBaseAt(first);
      return a && *a != 0 && a == allocationBaseAt(last) && !isLoadedGuarded(*a);
    });
    if (!shared) return;
    stackFirst_ = first;
    stackEnd_ = uint64_t{last} + kPageSize;
  }

  bool validCallSite(Address candidate) {
    return guarded(kValidCallSiteError, [&] {
      if (candidate <= 8) return false;
      if (!inModule(candidate)) return false;
      uint32_t d8 = 0, d4 = 0;
      if (!codeWords(candidate, d8, d4)) return false;
      return callSiteBytesMatch(d8, d4);
    });
  }

 private:
  struct Image {
    Address base;
    uint64_t end;
  };
  struct CodeBlock {
    bool used = false;
    bool readable = false;
    Address base = 0;
    uint8_t bytes[kCodeBlockBytes] = {};
  };

  /// IsSystemModule(moduleFromAddress(address)). Allocation base and state are kept by
  /// the OS per page, so the answer is remembered per page.
  bool inModule(Address address) {
    if (address >= stackFirst_ && address < stackEnd_) return false;
    const Address page = address & ~(kPageSize - 1);
    if (page == lastPage_ && lastPageKnown_) return lastPageResult_;
    bool result = false;
    if (auto it = pageInModule_.find(page); it != pageInModule_.end()) {
      result = it->second;
    } else {
      if (pageQueries_ >= kQueriesBeforeImages && outsideEveryImage(address)) return false;
      ++pageQueries_;
      const Handle module = guarded(kModuleFromAddressError, [&] {
        return allocationBaseIfCommitted(platform_, process_, address);
      });
      result = isLoadedGuarded(module);
      pageInModule_.emplace(page, result);
    }
    lastPage_ = page;
    lastPageKnown_ = true;
    lastPageResult_ = result;
    return result;
  }

  bool isLoadedGuarded(Handle module) {
    return guarded(kIsSystemModuleError, [&] { return isLoaded(module); });
  }

  bool isLoaded(Handle module) {
    if (module == 0 || process_ == 0) return false;
    const auto& list = modules();
    return list && std::find(list->begin(), list->end(), module) != list->end();
  }

  const std::optional<std::vector<Address>>& modules() {
    if (!modulesRead_) {
      ++gHhE; modules_ = platform_.enumProcessModules(process_);
      modulesRead_ = true;
    }
    return modules_;
  }

  /// True when address lies outside the allocation of every module, so that no region
  /// query is needed to reject it. Only answers true once every module's extent is
  /// known exactly; otherwise each page is asked.
  bool outsideEveryImage(Address address) {
    if (!imagesLearnt_) {
      guarded(kIsSystemModuleError, [&] { learnImages(); });
      imagesLearnt_ = true;
    }
    if (!imagesExact_) return false;
    auto it = std::upper_bound(images_.begin(), images_.end(), address,
                               [](Address a, const Image& image) { return a < image.base; });
    if (it == images_.begin()) return true;
    --it;
    return uint64_t{address} >= it->end;
  }

  void learnImages() {
    imagesExact_ = false;
    if (process_ == 0) return;
    const auto& list = modules();
    if (!list) return;
    std::vector<Image> images;
    images.reserve(list->size());
    for (Address base : *list) {
      auto end = imageEnd(base);
      if (!end) return;
      images.push_back({base, *end});
    }
    std::sort(images.begin(), images.end(),
              [](const Image& a, const Image& b) { return a.base < b.base; });
    for (size_t i = 1; i < images.size(); ++i)
      if (images[i].base < images[i - 1].end) return;
    images_ = std::move(images);
    imagesExact_ = true;
  }

  std::optional<Address> allocationBaseAt(Address address) {
    ++gHhQ; if (gHhE < 2) std::fprintf(stderr, "Q %08x\n", address); auto region = platform_.queryRegion(process_, address);
    if (!region) return std::nullopt;
    return region->allocationBase;
  }

  /// End of the allocation that starts at a module's base. The image size in its header
  /// is only a hint: it counts only when the OS confirms that the allocation covers the
  /// last page and stops right after it (an allocation is one contiguous range).
  std::optional<uint64_t> imageEnd(Address base) {
    if (base % kPageSize != 0) return std::nullopt;
    uint32_t peOffset = 0, sizeOfImage = 0;
    if (!codeWord(uint64_t{base} + 0x3C, peOffset)) return std::nullopt;
    if (!codeWord(uint64_t{base} + peOffset + 0x50, sizeOfImage)) return std::nullopt;
    if (sizeOfImage == 0) return std::nullopt;
    const uint64_t end = (uint64_t{base} + sizeOfImage + kPageSize - 1) & ~uint64_t{kPageSize - 1};
    if (end > kAddressSpace) return std::nullopt;
    if (allocationBaseAt(base) != base) return std::nullopt;
    if (allocationBaseAt(static_cast<Address>(end - kPageSize)) != base) return std::nullopt;
    if (end < kAddressSpace && allocationBaseAt(static_cast<Address>(end)) == base)
      return std::nullopt;
    return end;
  }

  /// The words at candidate - 8 and candidate - 4.
  bool codeWords(Address candidate, uint32_t& d8, uint32_t& d4) {
    uint8_t bytes[8];
    if (cachedBytes(candidate - 8, bytes, 8)) {
      d8 = le32(bytes);
      d4 = le32(bytes + 4);
      return true;
    }
    // A block that cannot be read whole may still hold the two words.
    return readWord(platform_, process_, candidate - 8, d8) &&
           readWord(platform_, process_, candidate - 4, d4);
  }

  /// One word through the block cache, read alone when its block cannot be read whole.
  bool codeWord(uint64_t address, uint32_t& value) {
    uint8_t bytes[4];
    if (address + 4 <= kAddressSpace && cachedBytes(static_cast<Address>(address), bytes, 4)) {
      value = le32(bytes);
      return true;
    }
    return readWord(platform_, process_, address, value);
  }

  /// n (at most 8) bytes at address out of the block cache; false unless their blocks
  /// read whole. The caller keeps address + n within the address space.
  bool cachedBytes(Address address, uint8_t* out, uint32_t n) {
    const Address first = address & ~(kCodeBlockBytes - 1);
    const Address last = (address + (n - 1)) & ~(kCodeBlockBytes - 1);
    const CodeBlock& a = block(first);
    if (!a.readable) return false;
    const uint32_t offset = address - first;
    const uint32_t inFirst = std::min<uint32_t>(n, kCodeBlockBytes - offset);
    std::copy_n(a.bytes + offset, inFirst, out);
    if (inFirst == n) return true;
    const CodeBlock& b = block(last);
    if (!b.readable) return false;
    std::copy_n(b.bytes, n - inFirst, out + inFirst);
    return true;
  }

  const CodeBlock& block(Address base) {
    CodeBlock& slot = blocks_[(base / kCodeBlockBytes) % kCodeBlockSlots];
    if (!slot.used || slot.base != base) {
      uint32_t got = 0;
      slot.used = true;
      slot.base = base;
      ++gHhR; if (gHhE < 2) std::fprintf(stderr, "B %08x\n", base);
      slot.readable = uint64_t{base} + kCodeBlockBytes <= kAddressSpace &&
                      platform_.readMemory(process_, base, slot.bytes, kCodeBlockBytes, &got) &&
                      got == kCodeBlockBytes;
    }
    return slot;
  }

  DebugPlatform& platform_;
  Handle process_;
  bool modulesRead_ = false;
  std::optional<std::vector<Address>> modules_;
  bool imagesLearnt_ = false;
  bool imagesExact_ = false;
  std::vector<Image> images_;
  std::unordered_map<Address, bool> pageInModule_;
  int pageQueries_ = 0;
  bool lastPageKnown_ = false;
  Address lastPage_ = 0;
  bool lastPageResult_ = false;
  Address stackFirst_ = 0;
  uint64_t stackEnd_ = 0;
  std::vector<CodeBlock> blocks_;
};

/// Hands out the stack words from a chunk buffer. A chunk that cannot be read whole is
/// retried up to the end of its first page, and if that fails too its words are read
/// one by one, so an unreadable word costs no more than itself.
class StackReader {
 public:
  StackReader(DebugPlatform& platform, Handle process, Address upper, bool unlimited)
      : platform_(platform),
        process_(process),
        upper_(upper),
        chunkBytes_(unlimited ? kMaxChunkBytes : kFirstChunkBytes) {}

  /// The word at p, for p below the upper end.
  bool word(uint64_t p, uint32_t& value) {
    const bool inChunk = p >= chunkStart_ && p + 4 <= chunkEnd_;
    if ((!inChunk && !load(p)) || !chunkReadable_) return readWord(platform_, process_, p, value);
    value = le32(buffer_.data() + (p - chunkStart_));
    return true;
  }

 private:
  bool load(uint64_t p) {
    uint64_t size = wholeWords(p, chunkBytes_);
    if (size < 4) return false;
    if (readChunk(p, size)) {
      chunkBytes_ = std::min<uint64_t>(chunkBytes_ * kChunkGrowth, kMaxChunkBytes);
      return true;
    }
    chunkBytes_ = kFirstChunkBytes;
    const uint64_t pageRest = kPageSize - (p % kPageSize);
    const uint64_t smaller = std::max<uint64_t>(4, pageRest & ~uint64_t{3});
    if (smaller < size) {
      size = smaller;
      if (readChunk(p, size)) return true;
    }
    chunkStart_ = p;
    chunkEnd_ = p + size;
    chunkReadable_ = false;
    return true;
  }

  /// Bytes of the whole words from p up to the first one at or past the upper end, at
  /// most limit and never past the end of the address space.
  uint64_t wholeWords(uint64_t p, uint64_t limit) const {
    const uint64_t words = (upper_ - p + 3) / 4;
    uint64_t size = std::min(words * 4, limit);
    return std::min(size, (kAddressSpace - p) & ~uint64_t{3});
  }

  bool readChunk(uint64_t p, uint64_t size) {
    ++gHhR; buffer_.resize(size);
    uint32_t got = 0;
    if (!platform_.readMemory(process_, static_cast<Address>(p), buffer_.data(),
                              static_cast<uint32_t>(size), &got) ||
        got != size)
      return false;
    chunkStart_ = p;
    chunkEnd_ = p + size;
    chunkReadable_ = true;
    return true;
  }

  DebugPlatform& platform_;
  Handle process_;
  uint64_t upper_;
  uint64_t chunkBytes_;
  uint64_t chunkStart_ = 0;
  uint64_t chunkEnd_ = 0;
  bool chunkReadable_ = false;
  std::vector<uint8_t> buffer_;
};

}  // namespace

bool callSiteBytesMatch(uint32_t d8, uint32_t d4) {
  return (d8 & 0xFF000000u) == 0xE8000000u ||  // E8 rel32: direct near call
         (d4 & 0x38FF0000u) == 0x10FF0000u ||  // FF /2, 2 bytes
         (d4 & 0x0038FF00u) == 0x0010FF00u ||  // FF /2, 3 bytes
         (d4 & 0x000038FFu) == 0x000010FFu ||  // FF /2, 4 bytes
         (d8 & 0x38FF0000u) == 0x10FF0000u ||  // FF /2, 6 bytes
         (d8 & 0x0038FF00u) == 0x0010FF00u ||  // FF /2, 7 bytes
         (d4 & 0xFF000000u) == 0xC3000000u;    // RET just before
}

Handle moduleFromAddress(DebugPlatform& platform, Handle process, Address address) {
  return guarded(kModuleFromAddressError,
                 [&] { return allocationBaseIfCommitted(platform, process, address); });
}

bool IsSystemModule(DebugPlatform& platform, Handle module, Handle process) {
  return guarded(kIsSystemModuleError, [&] {
    if (module == 0 || process == 0) return false;
    auto modules = platform.enumProcessModules(process);
    return modules && std::find(modules->begin(), modules->end(), module) != modules->end();
  });
}

bool validCallSite(DebugPlatform& platform, Address candidate, Handle process) {
  return guarded(kValidCallSiteError, [&] {
    if (candidate <= 8) return false;
    if (!IsSystemModule(platform, moduleFromAddress(platform, process, candidate), process))
      return false;
    uint32_t d8 = 0, d4 = 0;
    if (!readWord(platform, process, candidate - 8, d8) ||
        !readWord(platform, process, candidate - 4, d4))
      return false;
    return callSiteBytesMatch(d8, d4);
  });
}

int32_t fillRawStack(DebugPlatform& platform, TCallStack& stack, Address start, int32_t depth,
                     Handle process, Address upper, Address lower) {
  return guarded(kFillRawStackError, [&]() -> int32_t {
    // The array bounds the count as well, for callers that sized it otherwise.
    const uint64_t limit = std::min<uint64_t>(Address(upper - lower) / 4, stack.size());
    ScanContext context(platform, process);
    context.noteStack(lower, upper);
    StackReader reader(platform, process, upper, depth == -1);
    uint64_t count = 0;
    uint32_t previous = 0;
    // 64-bit position: a range ending at the top of the address space must not wrap.
    for (uint64_t p = start; p < upper; p += 4) {
      if (count >= limit) break;
      if (depth != -1 && int64_t(count) > int64_t{depth}) break;
      uint32_t word = 0;
      if (!reader.word(p, word)) continue;
      if (!context.validCallSite(word)) continue;
      if (word == previous) continue;
      stack[count++] = word;
      previous = word;
    }
    return static_cast<int32_t>(count);
  });
}

int32_t storeRawStack(DebugPlatform& platform, TCallStack& stack, Address start, int32_t depth,
                      Handle process, Address upper, Address lower) {
  try {
    if (upper < lower) throw std::length_error("stack bounds reversed");
    // Cleared, not just resized: slots past the count must read as 0 to the publisher.
    stack.assign((upper - lower) / 4, 0);
    return fillRawStack(platform, stack, start, depth, process, upper, lower);
  } catch (...) {
    stack.clear();
    return -1;
  }
}

ScanRange chooseScanRange(bool stackOverflow, bool snapshotFailed, bool walkOk,
                          const StackInfoBlock& startInfo, const StackInfoBlock& exceptionInfo,
                          const StackInfoBlock& walkInfo, Address walkEsp) {
  auto whole = [](const StackInfoBlock& info) {
    return ScanRange{info.StackLimit, info.StackBase, info.StackLimit};
  };
  if (stackOverflow) return snapshotFailed ? whole(startInfo) : whole(exceptionInfo);
  if (walkOk) return ScanRange{walkEsp, walkInfo.StackBase, walkInfo.StackLimit};
  return whole(startInfo);
}

std::vector<PublishedStackEntry> stackEntriesToPublish(const TCallStack& stack,
                                                       int32_t firstIndex, int32_t endIndex,
                                                       int32_t depth,
                                                       const ModuleNameFunction& moduleName,
                                                       TEventCallStack& callStack) {
  std::vector<PublishedStackEntry> entries;
  const int64_t end = std::min<int64_t>(endIndex, static_cast<int64_t>(stack.size()));
  for (int64_t i = std::max<int32_t>(firstIndex, 0); i < end; ++i) {
    const Address address = stack[static_cast<size_t>(i)];
    if (address == 0) continue;
    PublishedStackEntry entry{static_cast<int32_t>(i), address,
                              extractFileName(moduleName(address))};
    if (i <= int64_t{depth} - 1) callStack.set(static_cast<uint32_t>(i), address, entry.module);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::string stackModulesText(const TCallStack& stack, int32_t count,
                             const ModuleNameFunction& moduleName) {
  std::string text;
  const size_t n = std::min<size_t>(count < 0 ? 0 : size_t(count), stack.size());
  for (size_t i = 0; i < n; ++i) {
    text += extractFileName(moduleName(stack[i]));
    text += "\r\n";
  }
  return text;
}

}  // namespace ostrel
