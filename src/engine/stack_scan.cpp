#include "engine/stack_scan.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <optional>
#include <unordered_map>

#include "common/format.h"

namespace ostrel {
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
// Code bytes come in spans kept inside the candidate's region: within a region
// protection is uniform, so such a read succeeds whole. Copying 64 KiB takes about as
// long as the round trip; a region that keeps asking for spans gets larger ones, so a
// big code region costs a few reads, and a sparse one little copying.
constexpr uint32_t kCodeSpanBytes = 64 * 1024;
constexpr uint32_t kMaxCodeSpanBytes = 1024 * 1024;
constexpr uint64_t kCodeCacheBytes = 16 * 1024 * 1024;  // dropped wholesale beyond this
// Learning the module extents costs about four round trips per module (a header read and
// three queries) and spares only the queries that find no module. It is bought once such
// queries have cost as much, so a scan never pays much more than twice what the better
// of the two ways would have cost.
constexpr int kMinQueriesBeforeImages = 16;
constexpr int kQueriesPerImage = 4;

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

/// True when each of the eight words at b is below 8.
bool smallWords8(const uint8_t* b) {
  uint32_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= le32(b + 4 * i);
  return (bits & ~7u) == 0;
}

/// One 32-bit word of the debuggee; false when it cannot be read whole.
bool readWord(DebugPlatform& platform, Handle process, uint64_t address, uint32_t& value) {
  if (address + 4 > kAddressSpace) return false;
  uint8_t bytes[4];
  uint32_t got = 0;
  if (!platform.readMemory(process, static_cast<Address>(address), bytes, 4, &got) || got != 4)
    return false;
  value = le32(bytes);
  return true;
}

Handle allocationBaseIfCommitted(DebugPlatform& platform, Handle process, Address address) {
  auto region = platform.queryRegion(process, address);
  return region && region->state == kMemCommit ? region->allocationBase : 0;
}

/// What one scan learns about the debuggee once and then reuses: the module list, the
/// regions asked about (each answer holds for its whole region), the extent of each
/// module image and spans of code bytes. The debuggee is stopped meanwhile, so every
/// answer stays true for the whole scan.
class ScanContext {
 public:
  ScanContext(DebugPlatform& platform, Handle process) : platform_(platform), process_(process) {}

  /// Marks the scanned stack as holding no module when the OS puts its first and last
  /// pages in one allocation that is not a module: an allocation is contiguous, so every
  /// page between shares it. This spares a lookup per word of the many pointers into the
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
  /// One query's answer and the addresses it covers.
  struct KnownRegion {
    uint64_t start = 0;
    uint64_t end = 0;
    bool answered = false;
    Address allocationBase = 0;
    uint32_t state = 0;
    int8_t inModule = -1;                 // unknown until first asked
    uint32_t spanBytes = kCodeSpanBytes;  // size of the next code span read in it
  };
  struct CodeSpan {
    uint64_t end = 0;
    bool readable = false;
    std::vector<uint8_t> bytes;
  };

  /// IsSystemModule(moduleFromAddress(address)), answered once per region.
  bool inModule(Address address) {
    if (address >= stackFirst_ && address < stackEnd_) return false;
    KnownRegion* region = cachedRegion(address);
    const bool asked = region == nullptr;
    if (asked) {
      if (misses_ >= imagesThreshold() && outsideEveryImage(address)) return false;
      region =
          &guarded(kModuleFromAddressError, [&]() -> KnownRegion& { return regionAt(address); });
    }
    if (region->inModule < 0) {
      const Handle base =
          region->answered && region->state == kMemCommit ? region->allocationBase : 0;
      region->inModule = isLoadedGuarded(base) ? 1 : 0;
    }
    if (asked && region->inModule == 0) ++misses_;
    return region->inModule == 1;
  }

  KnownRegion* cachedRegion(Address address) {
    if (last_ != nullptr && address >= last_->start && address < last_->end) return last_;
    auto it = regions_.upper_bound(address);
    if (it == regions_.begin()) return nullptr;
    --it;
    if (address >= it->second.end) return nullptr;
    last_ = &it->second;
    return last_;
  }

  /// The region holding address, asked for when not yet known. An answer that does not
  /// describe its own address covers just that page, and no answer ever covers addresses
  /// an earlier one did.
  KnownRegion& regionAt(Address address) {
    if (KnownRegion* known = cachedRegion(address)) return *known;
    auto answer = platform_.queryRegion(process_, address);
    KnownRegion region;
    region.start = address & ~(kPageSize - 1);
    region.end = region.start + kPageSize;
    if (answer) {
      region.answered = true;
      region.allocationBase = answer->allocationBase;
      region.state = answer->state;
      const uint64_t base = answer->regionBase, end = base + answer->regionSize;
      if (base <= address && address < end) {
        region.start = base;
        region.end = end;
      }
    }
    auto next = regions_.upper_bound(address);
    if (next != regions_.end()) region.end = std::min(region.end, next->first);
    if (next != regions_.begin())
      region.start = std::max(region.start, std::prev(next)->second.end);
    last_ = &regions_.emplace(region.start, region).first->second;
    return *last_;
  }

  std::optional<Address> allocationBaseAt(Address address) {
    const KnownRegion& region = regionAt(address);
    if (!region.answered) return std::nullopt;
    return region.allocationBase;
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
      modules_ = platform_.enumProcessModules(process_);
      modulesRead_ = true;
    }
    return modules_;
  }

  int imagesThreshold() {
    if (threshold_ < 0) {
      const size_t count = guarded(kIsSystemModuleError, [&]() -> size_t {
        return process_ != 0 && modules() ? modules()->size() : 0;
      });
      threshold_ = static_cast<int>(std::min<size_t>(
          std::max<size_t>(kMinQueriesBeforeImages, count * kQueriesPerImage), 1 << 20));
    }
    return threshold_;
  }

  /// True when address lies outside the allocation of every module, so that no region
  /// query is needed to reject it. Only answers true once every module's extent is
  /// known exactly; otherwise each region is asked.
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

  /// End of the allocation that starts at a module's base. The image size in its header
  /// is only a hint: it counts only when the OS confirms that the allocation covers the
  /// last page and stops right after it (an allocation is one contiguous range).
  std::optional<uint64_t> imageEnd(Address base) {
    if (base % kPageSize != 0) return std::nullopt;
    // Asked first, so that the header is read within its known region.
    if (allocationBaseAt(base) != base) return std::nullopt;
    uint32_t peOffset = 0, sizeOfImage = 0;
    if (!codeWord(uint64_t{base} + 0x3C, peOffset)) return std::nullopt;
    if (!codeWord(uint64_t{base} + peOffset + 0x50, sizeOfImage)) return std::nullopt;
    if (sizeOfImage == 0) return std::nullopt;
    const uint64_t end = (uint64_t{base} + sizeOfImage + kPageSize - 1) & ~uint64_t{kPageSize - 1};
    if (end > kAddressSpace) return std::nullopt;
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
    // A span that cannot be read whole may still hold the two words.
    return lonelyWord(candidate - 8, d8) && lonelyWord(candidate - 4, d4);
  }

  /// A word read on its own, remembered: a candidate often recurs on a stack.
  bool lonelyWord(Address address, uint32_t& value) {
    auto it = words_.find(address);
    if (it == words_.end()) {
      uint32_t v = 0;
      const bool ok = readWord(platform_, process_, address, v);
      it = words_.emplace(address, ok ? std::optional<uint32_t>(v) : std::nullopt).first;
    }
    if (!it->second) return false;
    value = *it->second;
    return true;
  }

  /// One word through the span cache, read alone when its span cannot be read whole.
  bool codeWord(uint64_t address, uint32_t& value) {
    uint8_t bytes[4];
    if (address + 4 <= kAddressSpace && cachedBytes(static_cast<Address>(address), bytes, 4)) {
      value = le32(bytes);
      return true;
    }
    return address + 4 <= kAddressSpace && lonelyWord(static_cast<Address>(address), value);
  }

  /// n bytes at address out of the span cache; false unless every span they touch read
  /// whole. The caller keeps address + n within the address space.
  bool cachedBytes(Address address, uint8_t* out, uint32_t n) {
    uint64_t at = address;
    const uint64_t stop = at + n;
    while (at < stop) {
      auto [start, span] = spanAt(static_cast<Address>(at));
      if (!span->readable) return false;
      const uint64_t take = std::min(stop, span->end) - at;
      std::copy_n(span->bytes.data() + (at - start), take, out);
      out += take;
      at += take;
    }
    return true;
  }

  /// The cached span holding address, read when missing: the region's next span size,
  /// aligned to it and clipped to the known region of address (just its page when the
  /// region is unknown), then its page alone when that fails. A span that stays
  /// unreadable is kept as such.
  std::pair<uint64_t, const CodeSpan*> spanAt(Address address) {
    auto it = spans_.upper_bound(address);
    if (it != spans_.begin() && address < std::prev(it)->second.end) {
      --it;
      return {it->first, &it->second};
    }
    const uint64_t page = address & ~(kPageSize - 1);
    uint64_t start = page, end = page + kPageSize;
    KnownRegion* region = cachedRegion(address);
    if (region && region->answered) {
      const uint64_t size = region->spanBytes;
      start = std::max<uint64_t>(region->start, address & ~(size - 1));
      end = std::min<uint64_t>(region->end, (address & ~(size - 1)) + size);
      region->spanBytes = std::min<uint32_t>(region->spanBytes * 2, kMaxCodeSpanBytes);
    }
    if (it != spans_.end()) end = std::min(end, it->first);
    if (it != spans_.begin()) start = std::max(start, std::prev(it)->second.end);
    if (spanBytes_ + (end - start) > kCodeCacheBytes) {
      spans_.clear();
      spanBytes_ = 0;
    }
    CodeSpan span;
    if (!readSpan(start, end, span) && (start < page || end > page + kPageSize)) {
      start = std::max(start, page);
      end = std::min(end, page + kPageSize);
      readSpan(start, end, span);
    }
    span.end = end;
    spanBytes_ += span.bytes.size();
    auto placed = spans_.insert_or_assign(start, std::move(span)).first;
    return {start, &placed->second};
  }

  bool readSpan(uint64_t start, uint64_t end, CodeSpan& span) {
    span.bytes.resize(end - start);
    uint32_t got = 0;
    span.readable = platform_.readMemory(process_, static_cast<Address>(start), span.bytes.data(),
                                         static_cast<uint32_t>(end - start), &got) &&
                    got == end - start;
    if (!span.readable) span.bytes.clear();
    return span.readable;
  }

  DebugPlatform& platform_;
  Handle process_;
  bool modulesRead_ = false;
  std::optional<std::vector<Address>> modules_;
  int threshold_ = -1;
  bool imagesLearnt_ = false;
  bool imagesExact_ = false;
  std::vector<Image> images_;
  std::map<uint64_t, KnownRegion> regions_;  // by start
  KnownRegion* last_ = nullptr;
  int misses_ = 0;  // queries that found no module
  Address stackFirst_ = 0;
  uint64_t stackEnd_ = 0;
  std::map<uint64_t, CodeSpan> spans_;  // by start
  uint64_t spanBytes_ = 0;
  std::unordered_map<Address, std::optional<uint32_t>> words_;
};

/// Hands out the stack words from a chunk buffer. A chunk that cannot be read whole is
/// retried up to the end of its first page, and if that fails too its words are read
/// one by one, so an unreadable word costs no more than itself.
///
/// The buffer may be given: the word at p then lands at byte p - start of it. A scan
/// gives its own result array, which works because an entry is only ever stored over a
/// word already handed out; that spares filling a second block of the stack's size.
class StackReader {
 public:
  StackReader(DebugPlatform& platform, Handle process, Address start, Address upper, bool unlimited,
              uint8_t* buffer = nullptr, uint64_t bufferBytes = 0)
      : platform_(platform),
        process_(process),
        start_(start),
        upper_(upper),
        chunkBytes_(unlimited ? kMaxChunkBytes : kFirstChunkBytes),
        given_(buffer),
        givenBytes_(bufferBytes) {}

  /// The number of whole words from p on that the readable chunk holds (all below the
  /// upper end), with their bytes; 0 when the word at p has to be read alone.
  uint64_t run(uint64_t p, const uint8_t*& bytes) {
    const bool inChunk = p >= chunkStart_ && p + 4 <= chunkEnd_;
    if ((!inChunk && !load(p)) || !chunkReadable_) return 0;
    bytes = chunk_ + (p - chunkStart_);
    return (chunkEnd_ - p) / 4;
  }

  /// The word at p, for p below the upper end.
  bool word(uint64_t p, uint32_t& value) {
    const bool inChunk = p >= chunkStart_ && p + 4 <= chunkEnd_;
    if ((!inChunk && !load(p)) || !chunkReadable_) return readWord(platform_, process_, p, value);
    value = le32(chunk_ + (p - chunkStart_));
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
    uint8_t* into = nullptr;
    if (given_ != nullptr && p >= start_ && p - start_ + size <= givenBytes_) {
      into = given_ + (p - start_);
    } else {
      if (own_.size() < size) own_.resize(size);
      into = own_.data();
    }
    uint32_t got = 0;
    if (!platform_.readMemory(process_, static_cast<Address>(p), into, static_cast<uint32_t>(size),
                              &got) ||
        got != size)
      return false;
    chunk_ = into;
    chunkStart_ = p;
    chunkEnd_ = p + size;
    chunkReadable_ = true;
    return true;
  }

  DebugPlatform& platform_;
  Handle process_;
  uint64_t start_;
  uint64_t upper_;
  uint64_t chunkBytes_;
  uint8_t* given_;
  uint64_t givenBytes_;
  uint64_t chunkStart_ = 0;
  uint64_t chunkEnd_ = 0;
  bool chunkReadable_ = false;
  const uint8_t* chunk_ = nullptr;
  std::vector<uint8_t> own_;
};

/// The scan of fillRawStack. With inPlace the stack words are read into stack itself
/// (when it holds them all from start on) and every slot past the count is zero after.
int32_t scanStack(DebugPlatform& platform, TCallStack& stack, Address start, int32_t depth,
                  Handle process, Address upper, Address lower, bool inPlace) {
  // The array bounds the count as well, for callers that sized it otherwise.
  const uint64_t limit = std::min<uint64_t>(Address(upper - lower) / 4, stack.size());
  ScanContext context(platform, process);
  context.noteStack(lower, upper);
  uint8_t* buffer = nullptr;
  uint64_t bufferBytes = 0;
  if (inPlace && start >= lower && start < upper) {
    static_assert(sizeof(TCallStack::value_type) == 4);
    buffer = reinterpret_cast<uint8_t*>(stack.data());
    bufferBytes = uint64_t{stack.size()} * 4;
  }
  StackReader reader(platform, process, start, upper, depth == -1, buffer, bufferBytes);
  uint64_t count = 0;
  uint32_t previous = 0;
  auto over = [&] { return count >= limit || (depth != -1 && int64_t(count) > int64_t{depth}); };
  // Takes word as an entry when it is one; the call-site test turns down small values
  // itself, checking them here spares the call for the many zero words of a stack.
  auto consider = [&](uint32_t word) {
    if (word <= 8 || !context.validCallSite(word) || word == previous) return;
    stack[count++] = word;
    previous = word;
  };
  // 64-bit position: a range ending at the top of the address space must not wrap.
  uint64_t p = start;
  while (p < upper && !over()) {
    const uint8_t* bytes = nullptr;
    const uint64_t words = reader.run(p, bytes);
    if (words == 0) {
      uint32_t word = 0;
      if (reader.word(p, word)) consider(word);
      p += 4;
      continue;
    }
    // Each word is taken before an entry can be stored over it (entries never outrun
    // the words read), so this holds in place too.
    for (uint64_t i = 0; i < words; ++i) {
      // Most of a stack is small values; eight of them at a time are passed over when
      // none reaches 8.
      while (i + 8 <= words && smallWords8(bytes + 4 * i)) i += 8;
      if (i == words) break;
      consider(le32(bytes + 4 * i));
      if (over()) break;
    }
    p += 4 * words;
  }
  if (inPlace) std::fill(stack.begin() + static_cast<std::ptrdiff_t>(count), stack.end(), 0u);
  return static_cast<int32_t>(count);
}

}  // namespace

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
  return guarded(kFillRawStackError, [&] {
    return scanStack(platform, stack, start, depth, process, upper, lower, false);
  });
}

int32_t storeRawStack(DebugPlatform& platform, TCallStack& stack, Address start, int32_t depth,
                      Handle process, Address upper, Address lower) {
  try {
    if (upper < lower) throw std::length_error("stack bounds reversed");
    // Cleared, not just resized: slots past the count must read as 0 to the publisher.
    stack.assign((upper - lower) / 4, 0);
    return guarded(kFillRawStackError, [&] {
      return scanStack(platform, stack, start, depth, process, upper, lower, true);
    });
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
