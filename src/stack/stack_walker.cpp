#include "stack/stack_walker.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "stack/call_site.h"

namespace ostrel {
namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
constexpr uint32_t kPageBytes = 0x1000;
// A live source pays a round trip per read, so memory is read in chunks and kept for
// the walk; the debuggee is stopped meanwhile.
constexpr uint32_t kChunkBytes = 0x10000;
constexpr uint32_t kChunkPages = kChunkBytes / kPageBytes;

uint32_t le32(const uint8_t* b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

/// The source's memory read a chunk at a time, with how much of each page could be read.
/// The stack is read in large chunks (a walk passes over all of it); code only a page
/// at a time, since a walk looks at a few bytes before each of a few return addresses
/// spread over many modules.
class ChunkedMemory {
 public:
  explicit ChunkedMemory(MemorySource& source) : source_(source), stack_(source.stackRange()) {}

  /// n bytes at address, all or nothing.
  bool bytes(uint64_t address, uint8_t* out, uint32_t n) {
    if (address + n > kAddressSpace) return false;
    for (uint32_t i = 0; i < n;) {
      const uint64_t at = address + i;
      const uint32_t size = chunkBytesAt(at);
      const Chunk& chunk = chunkAt(at - at % size, size);
      const uint32_t offset = static_cast<uint32_t>(at % size);
      const uint32_t page = offset / kPageBytes;
      const uint32_t readableEnd = page * kPageBytes + chunk.readable[page];
      if (offset >= readableEnd) return false;
      const uint32_t take = std::min(n - i, readableEnd - offset);
      std::copy_n(chunk.bytes.data() + offset, take, out + i);
      i += take;
    }
    return true;
  }

  bool word(uint64_t address, uint32_t& value) {
    uint8_t b[4];
    if (!bytes(address, b, 4)) return false;
    value = le32(b);
    return true;
  }

 private:
  struct Chunk {
    std::vector<uint8_t> bytes;
    uint32_t readable[kChunkPages] = {};  // readable bytes from each page's start
  };

  uint32_t chunkBytesAt(uint64_t address) const {
    // Chunks are aligned to their size, so an address decides its chunk's size alone.
    const uint64_t chunk = address - address % kChunkBytes;
    const bool onStack =
        stack_ && chunk < stack_->high && chunk + kChunkBytes > stack_->low;
    return onStack ? kChunkBytes : kPageBytes;
  }

  const Chunk& chunkAt(uint64_t base, uint32_t size) {
    auto [it, fresh] = chunks_.try_emplace(base);
    Chunk& chunk = it->second;
    if (!fresh) return chunk;
    chunk.bytes.resize(size);
    const Address start = static_cast<Address>(base);
    const uint32_t got = std::min(source_.read(start, chunk.bytes.data(), size), size);
    for (uint32_t page = 0; page < size / kPageBytes; ++page) {
      const uint32_t from = page * kPageBytes;
      if (from < got) {
        chunk.readable[page] = std::min(kPageBytes, got - from);
      } else if (size > kPageBytes) {
        // A hole need not end the chunk: the pages after it are asked one by one.
        chunk.readable[page] =
            std::min(source_.read(start + from, chunk.bytes.data() + from, kPageBytes), kPageBytes);
      }
    }
    return chunk;
  }

  MemorySource& source_;
  std::optional<StackRange> stack_;
  std::unordered_map<uint64_t, Chunk> chunks_;
};

/// One walk's state: the entries so far, the nearest trusted one and the memory read.
class Walk {
 public:
  Walk(MemorySource& source, ChunkedMemory& memory, StackRange range, uint32_t maxEntries,
       std::vector<StackEntry>& entries)
      : source_(source), memory_(memory), range_(range), max_(maxEntries), entries_(entries) {}

  void run(const WalkContext& context) {
    below_ = context.eip;
    uint64_t pos = context.esp;  // the lowest slot not yet looked at
    uint64_t fp = context.ebp;
    bool haveFp = true;
    while (!full()) {
      Address ret = 0, next = 0;
      if (haveFp && frameAt(fp, pos, ret, next)) {
        scan(pos, fp + 4, false);
        if (full()) return;
        fitToCaller(ret);
        add(ret, fp + 4, FoundBy::Frame);
        pos = fp + 8;
        haveFp = next != 0;
        fp = next;
        continue;
      }
      const std::optional<uint64_t> hit = scan(pos, range_.high, true);
      if (!hit) return;
      pos = *hit + 4;
      // A callee with a frame pointer saved the caller's just below its return address.
      uint32_t saved = 0;
      haveFp = memory_.word(*hit - 4, saved);
      fp = saved;
    }
  }

 private:
  bool full() const { return entries_.size() >= max_; }

  void add(Address address, uint64_t position, FoundBy how) {
    entries_.push_back({address, static_cast<Address>(position), how});
    if (how != FoundBy::Scan) below_ = address;
  }

  /// Whether fp holds a frame to trust, with its return address and saved frame pointer.
  bool frameAt(uint64_t fp, uint64_t pos, Address& ret, Address& next) {
    if (fp % 4 != 0 || fp < pos || fp < range_.low || fp + 8 > range_.high) return false;
    if (!memory_.word(fp, next) || !memory_.word(fp + 4, ret)) return false;
    if (!returnAddress(ret)) return false;
    return next == 0 || (next > fp && next < range_.high);
  }

  /// Above 8, in an executable section of a module, behind call-site bytes.
  bool returnAddress(Address candidate) {
    if (candidate <= 8) return false;
    const auto module = source_.moduleAt(candidate);
    if (!module || !module->executable) return false;
    uint8_t b[8];
    return memory_.bytes(candidate - 8, b, 8) && callSiteBytesMatch(le32(b), le32(b + 4));
  }

  /// Adds the hits among the words from `from` while below `to`. With stopAtCall it stops
  /// after the first `call` hit and returns its slot; nullopt when it ran to the end.
  std::optional<uint64_t> scan(uint64_t from, uint64_t to, bool stopAtCall) {
    for (uint64_t slot = from; slot + 4 <= to && !full(); slot += 4) {
      uint32_t word = 0;
      if (!memory_.word(slot, word) || !returnAddress(word)) continue;
      const FoundBy how = callsBelow(word) ? FoundBy::Call : FoundBy::Scan;
      add(word, slot, how);
      if (stopAtCall && how == FoundBy::Call) return slot;
    }
    return std::nullopt;
  }

  /// Whether the call just before returnAddress targets the routine of the entry below.
  bool callsBelow(Address returnAddress) {
    const auto target = callTarget(returnAddress);
    return target && inRoutineOf(below_, *target);
  }

  /// The target of the call just before returnAddress: a direct call's, or the value of
  /// the slot an indirect call reads (a slot inside a module); nullopt for other calls.
  std::optional<Address> callTarget(Address returnAddress) {
    uint8_t b[6];
    if (!memory_.bytes(uint64_t{returnAddress} - 6, b, 6)) return std::nullopt;
    if (b[1] == 0xE8) return static_cast<Address>(returnAddress + le32(b + 2));
    if (b[0] == 0xFF && b[1] == 0x15) {
      const Address slot = le32(b + 2);
      uint32_t target = 0;
      if (source_.moduleAt(slot) && memory_.word(slot, target)) return target;
    }
    return std::nullopt;
  }

  /// Whether address may lie in the routine that starts at target: in the same module, at
  /// or above it.
  bool inRoutineOf(Address address, Address target) {
    if (target > address) return false;
    const auto module = source_.moduleAt(address);
    const auto targetModule = source_.moduleAt(target);
    return module && targetModule && module->base == targetModule->base;
  }

  /// The `call` entries since the last frame must also fit the frame about to be added:
  /// going down from it, each one lies in the routine the entry above calls. A hit that
  /// does not is stale, however well it fits the entry below: it goes back to `scan`.
  void fitToCaller(Address callerReturn) {
    std::optional<Address> target = callTarget(callerReturn);
    for (size_t i = entries_.size(); i-- > 0 && target;) {
      StackEntry& entry = entries_[i];
      if (entry.foundBy == FoundBy::Frame || entry.foundBy == FoundBy::Context) break;
      if (entry.foundBy != FoundBy::Call) continue;
      if (inRoutineOf(entry.address, *target))
        target = callTarget(entry.address);
      else
        entry.foundBy = FoundBy::Scan;
    }
  }

  MemorySource& source_;
  ChunkedMemory& memory_;
  StackRange range_;
  uint32_t max_;
  std::vector<StackEntry>& entries_;
  Address below_ = 0;  // address of the nearest context, frame or call entry
};

bool onStack(const std::optional<StackRange>& range, Address esp) {
  return range && esp >= range->low && esp < range->high;
}

std::vector<StackEntry> walkWith(MemorySource& source, ChunkedMemory& memory,
                                 const WalkContext& context, uint32_t maxEntries) {
  std::vector<StackEntry> entries;
  if (maxEntries == 0) return entries;
  entries.push_back({context.eip, context.esp, FoundBy::Context});
  const auto range = source.stackRange();
  if (!onStack(range, context.esp)) return entries;
  Walk(source, memory, *range, maxEntries, entries).run(context);
  return entries;
}

std::vector<StackEntry> rawScanWith(MemorySource& source, ChunkedMemory& memory, Address esp,
                                    uint32_t maxEntries) {
  std::vector<StackEntry> hits;
  const auto range = source.stackRange();
  if (!onStack(range, esp)) return hits;
  Address previous = 0;
  for (uint64_t slot = esp; slot + 4 <= range->high && hits.size() < maxEntries; slot += 4) {
    uint32_t word = 0;
    uint8_t b[8];
    if (!memory.word(slot, word) || word <= 8 || word == previous || !source.moduleAt(word) ||
        !memory.bytes(word - 8, b, 8) || !callSiteBytesMatch(le32(b), le32(b + 4)))
      continue;
    hits.push_back({word, static_cast<Address>(slot), FoundBy::Scan});
    previous = word;
  }
  return hits;
}

}  // namespace

const char* foundByName(FoundBy how) {
  switch (how) {
    case FoundBy::Context:
      return "context";
    case FoundBy::Frame:
      return "frame";
    case FoundBy::Call:
      return "call";
    case FoundBy::Scan:
      break;
  }
  return "scan";
}

std::vector<StackEntry> StackWalker::walk(const WalkContext& context, uint32_t maxEntries) {
  ChunkedMemory memory(source_);
  return walkWith(source_, memory, context, maxEntries);
}

std::vector<StackEntry> StackWalker::rawScan(Address esp, uint32_t maxEntries) {
  ChunkedMemory memory(source_);
  return rawScanWith(source_, memory, esp, maxEntries);
}

std::vector<StackEntry> StackWalker::merged(const WalkContext& context, uint32_t maxEntries) {
  // Both passes read the same words: one copy of the memory serves them.
  ChunkedMemory memory(source_);
  const std::vector<StackEntry> walked = walkWith(source_, memory, context, maxEntries);
  std::vector<StackEntry> list = rawScanWith(source_, memory, context.esp, maxEntries);
  std::unordered_map<Address, FoundBy> verified;  // by slot
  for (const StackEntry& entry : walked)
    if (entry.foundBy == FoundBy::Frame || entry.foundBy == FoundBy::Call)
      verified.emplace(entry.position, entry.foundBy);
  std::unordered_set<Address> listed;
  for (StackEntry& entry : list) {
    listed.insert(entry.position);
    if (auto it = verified.find(entry.position); it != verified.end()) entry.foundBy = it->second;
  }
  for (const StackEntry& entry : walked)
    if (verified.count(entry.position) != 0 && listed.count(entry.position) == 0)
      list.push_back(entry);
  std::stable_sort(list.begin(), list.end(), [](const StackEntry& a, const StackEntry& b) {
    return a.position < b.position;
  });
  if (!walked.empty() && walked.front().foundBy == FoundBy::Context)
    list.insert(list.begin(), walked.front());
  return list;
}

}  // namespace ostrel
