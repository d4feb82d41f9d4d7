#include "engine/live_memory_source.h"

#include <algorithm>
#include <cstring>

namespace ostrel {
namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
constexpr uint32_t kPageBytes = 0x1000;
// One platform call per chunk; a failed chunk is read again page by page to find where
// the readable run ends.
constexpr uint32_t kChunkBytes = 0x10000;
// The loader places the PE header within the first pages and allows no more sections.
constexpr uint32_t kMaxHeaderOffset = 0x10000;
constexpr uint32_t kMaxSections = 96;
constexpr uint16_t kPe32Magic = 0x10B;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool readAll(MemorySource& memory, uint64_t address, void* out, uint32_t n) {
  return address + n <= kAddressSpace && memory.read(static_cast<Address>(address), out, n) == n;
}

}  // namespace

std::optional<StackRange> stackRangeOf(const StackInfoBlock& block) {
  if (block.StackBase <= block.StackLimit) return std::nullopt;
  return StackRange{block.StackLimit, block.StackBase};
}

uint32_t LiveMemorySource::read(Address address, void* out, uint32_t n) {
  auto* bytes = static_cast<uint8_t*>(out);
  uint32_t done = 0;
  while (done < n) {
    const uint64_t at = uint64_t{address} + done;
    if (at >= kAddressSpace) break;
    const uint32_t want =
        static_cast<uint32_t>(std::min<uint64_t>({n - done, kChunkBytes, kAddressSpace - at}));
    uint32_t got = 0;
    if (platform_.readMemory(process_, static_cast<Address>(at), bytes + done, want, &got) &&
        got == want) {
      done += want;
      continue;
    }
    const uint32_t end = done + want;
    while (done < end) {
      const Address page = address + done;
      const uint32_t piece = std::min(end - done, kPageBytes - page % kPageBytes);
      got = 0;
      if (!platform_.readMemory(process_, page, bytes + done, piece, &got)) return done;
      done += std::min(got, piece);
      if (got < piece) return done;
    }
  }
  return done;
}

std::optional<LiveModule> LiveMemorySource::readModuleHeaders(MemorySource& memory, Address base) {
  uint8_t dos[64];
  if (!readAll(memory, base, dos, sizeof dos) || le16(dos) != 0x5A4D) return std::nullopt;
  const uint32_t peOffset = le32(dos + 0x3C);
  if (peOffset < sizeof dos || peOffset > kMaxHeaderOffset) return std::nullopt;
  uint8_t head[24];
  if (!readAll(memory, uint64_t{base} + peOffset, head, sizeof head) ||
      std::memcmp(head, "PE\0\0", 4) != 0)
    return std::nullopt;
  const uint32_t sectionCount = le16(head + 6);
  const uint32_t optionalSize = le16(head + 20);
  if (sectionCount > kMaxSections || optionalSize < 96 || optionalSize > kPageBytes)
    return std::nullopt;
  std::vector<uint8_t> optional(optionalSize);
  const uint64_t optionalAt = uint64_t{base} + peOffset + sizeof head;
  if (!readAll(memory, optionalAt, optional.data(), optionalSize) ||
      le16(optional.data()) != kPe32Magic)
    return std::nullopt;

  LiveModule module;
  module.base = base;
  module.size = le32(optional.data() + 56);
  const uint64_t tableEnd = peOffset + sizeof head + uint64_t{optionalSize} + sectionCount * 40;
  if (module.size == 0 || tableEnd > module.size || base + uint64_t{module.size} > kAddressSpace)
    return std::nullopt;
  std::vector<uint8_t> table(size_t{sectionCount} * 40);
  if (!table.empty() && !readAll(memory, optionalAt + optionalSize, table.data(),
                                 static_cast<uint32_t>(table.size())))
    return std::nullopt;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    const uint8_t* s = table.data() + size_t{i} * 40;
    PeSection section;
    section.VirtualSize = le32(s + 8);
    section.VirtualAddress = le32(s + 12);
    section.RawSize = le32(s + 16);
    section.Characteristics = le32(s + 36);
    if (!section.executable()) continue;
    const uint64_t begin = section.VirtualAddress;
    const uint64_t end = std::min<uint64_t>(begin + section.loadedSize(), module.size);
    if (begin < end)
      module.executable.push_back({static_cast<uint32_t>(begin), static_cast<uint32_t>(end)});
  }
  return module;
}

std::shared_ptr<const LiveModuleList> LiveMemorySource::readModules(
    DebugPlatform& platform, Handle process, const std::map<Address, std::string>& loaded) {
  auto list = std::make_shared<LiveModuleList>();
  LiveMemorySource memory(platform, process, std::nullopt, list);
  auto add = [&](Address base, std::string path) {
    auto module = readModuleHeaders(memory, base);
    if (!module) return;
    module->path = std::move(path);
    module->image = std::make_shared<const SymbolModule>(
        SymbolModule{module->path, module->base, module->size});
    list->push_back(std::move(*module));
  };
  const auto bases = platform.enumProcessModules(process);
  if (bases && !bases->empty()) {
    for (const Address base : *bases) add(base, platform.moduleFileName(process, base));
  } else {
    for (const auto& [base, path] : loaded) add(base, path);
  }
  std::sort(list->begin(), list->end(),
            [](const LiveModule& a, const LiveModule& b) { return a.base < b.base; });
  return list;
}

const LiveModuleList& LiveMemorySource::modules() {
  if (!modules_) modules_ = readModules(platform_, process_);
  return *modules_;
}

const LiveModule* LiveMemorySource::moduleOf(Address address) {
  const auto& list = modules();
  auto it = std::upper_bound(list.begin(), list.end(), address,
                             [](Address a, const LiveModule& m) { return a < m.base; });
  if (it == list.begin()) return nullptr;
  --it;
  return address - it->base < it->size ? &*it : nullptr;
}

std::optional<ModuleSpan> LiveMemorySource::moduleAt(Address address) {
  const LiveModule* module = moduleOf(address);
  if (!module) return std::nullopt;
  const uint32_t rva = address - module->base;
  const bool executable =
      std::any_of(module->executable.begin(), module->executable.end(),
                  [rva](const PeRange& r) { return rva >= r.Begin && rva < r.End; });
  return ModuleSpan{module->base, module->size, executable};
}

}  // namespace ostrel
