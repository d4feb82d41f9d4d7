#include "minidump/dump_memory_source.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

namespace {

constexpr uint16_t kMz = 0x5A4D;
constexpr uint32_t kPe = 0x00004550;
constexpr uint32_t kSectionSize = 40;
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kPageBytes = 4096;
constexpr uint32_t kCodeFlags = 0x20000000 | 0x00000020;  // executable, holds code

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | uint32_t{le16(p + 2)} << 16; }

}  // namespace

uint32_t DumpMemorySource::read(Address address, void* out, uint32_t n) {
  // Addresses of a 32-bit process end at 4 GB.
  n = static_cast<uint32_t>(std::min<uint64_t>(n, (uint64_t{1} << 32) - address));
  uint32_t done = 0;
  // Writers save a stack from about ESP on, mid-page, while the walker reads whole pages:
  // the dead bytes below the saved part, down to its page's start, read as zeros.
  if (thread_ != nullptr && thread_->stack.size != 0) {
    const uint64_t saved = thread_->stack.base, page = saved - saved % kPageBytes;
    if (address >= page && address < saved) {
      done = static_cast<uint32_t>(std::min<uint64_t>(n, saved - address));
      std::memset(out, 0, done);
    }
  }
  while (done < n) {
    const uint64_t at = uint64_t{address} + done;
    const uint32_t saved = dump_.readMemory(at, static_cast<char*>(out) + done, n - done);
    done += saved;
    if (done == n || !imageReader_) break;
    // Not saved: the image of the module holding the byte, up to the next saved range.
    const uint64_t next = uint64_t{address} + done;
    const DumpModule* m = dump_.moduleAt(next);
    if (m == nullptr) break;
    uint64_t upTo = std::min<uint64_t>(m->end(), uint64_t{address} + n);
    for (const DumpMemoryRange& r : dump_.memory)
      if (r.base > next && r.base < upTo) upTo = r.base;
    const uint32_t want = static_cast<uint32_t>(upTo - next);
    const uint32_t got = std::min(want, imageReader_(*m, static_cast<uint32_t>(next - m->base),
                                                     static_cast<char*>(out) + done, want));
    done += got;
    if (got < want) break;
  }
  return done;
}

std::optional<ModuleSpan> DumpMemorySource::moduleAt(Address address) {
  for (size_t i = 0; i < dump_.modules.size(); ++i) {
    const DumpModule& m = dump_.modules[i];
    if (address < m.base || address - m.base >= m.size || m.base > UINT32_MAX) continue;
    const Code& c = code(i);
    const uint32_t rva = static_cast<uint32_t>(address - m.base);
    bool executable = c.from == CodeRanges::WholeImage;
    for (const auto& [begin, end] : c.ranges) executable |= rva >= begin && rva < end;
    return ModuleSpan{static_cast<Address>(m.base), m.size, executable};
  }
  return std::nullopt;
}

std::optional<StackRange> DumpMemorySource::stackRange() {
  if (thread_ == nullptr || thread_->stack.size == 0) return std::nullopt;
  const uint64_t high = thread_->stack.base + thread_->stack.size;
  if (high > UINT32_MAX) return std::nullopt;  // not a 32-bit stack
  return StackRange{static_cast<Address>(thread_->stack.base), static_cast<Address>(high)};
}

DumpMemorySource::CodeRanges DumpMemorySource::codeRanges(size_t moduleIndex) {
  return code(moduleIndex).from;
}

const DumpMemorySource::Code& DumpMemorySource::code(size_t moduleIndex) {
  if (code_.size() < dump_.modules.size()) code_.resize(dump_.modules.size());
  Code& c = code_[moduleIndex];
  if (c.known) return c;
  c.known = true;
  const DumpModule& m = dump_.modules[moduleIndex];
  const uint64_t base = m.base;
  auto readAt = [&](uint64_t rva, void* out, uint32_t n) {
    return base + rva + n <= UINT32_MAX + uint64_t{1} && rva + n <= m.size &&
           read(static_cast<Address>(base + rva), out, n) == n;
  };
  uint8_t dos[64], pe[24];
  if (!readAt(0, dos, sizeof dos) || le16(dos) != kMz) return c;
  const uint32_t peAt = le32(dos + 0x3C);
  if (!readAt(peAt, pe, sizeof pe) || le32(pe) != kPe) return c;
  const uint32_t count = le16(pe + 6);
  const uint64_t table = uint64_t{peAt} + sizeof pe + le16(pe + 20);
  if (count == 0 || count > kMaxSections) return c;
  std::vector<uint8_t> sections(size_t{count} * kSectionSize);
  if (!readAt(table, sections.data(), static_cast<uint32_t>(sections.size()))) return c;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* s = &sections[size_t{i} * kSectionSize];
    const uint32_t virtualSize = le32(s + 8), rva = le32(s + 12), rawSize = le32(s + 16);
    if ((le32(s + 36) & kCodeFlags) == 0) continue;
    const uint64_t end =
        std::min<uint64_t>(uint64_t{rva} + (virtualSize != 0 ? virtualSize : rawSize), m.size);
    if (rva < end) c.ranges.emplace_back(rva, static_cast<uint32_t>(end));
  }
  c.from = CodeRanges::Sections;
  return c;
}

}  // namespace ostrel
