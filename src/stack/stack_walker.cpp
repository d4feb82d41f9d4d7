#include "stack/stack_walker.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>

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
/// Chunks of the stack are read whole (the passes go over all of it); elsewhere only the
/// pages asked for are read, since a walk looks at a few bytes of code before each of a few
/// return addresses spread over many modules.
class ChunkedMemory {
 public:
  explicit ChunkedMemory(MemorySource& source) : source_(source), stack_(source.stackRange()) {}

  /// n bytes at address, all or nothing.
  bool bytes(uint64_t address, uint8_t* out, uint32_t n) {
    if (address + n > kAddressSpace) return false;
    // Most reads are a word or a few bytes within one page of a chunk just used.
    const uint32_t offset = static_cast<uint32_t>(address % kChunkBytes);
    if (offset % kPageBytes + n <= kPageBytes) {
      Chunk& chunk = recentChunk(address - offset);
      if (offset % kPageBytes + n > readable(chunk, offset / kPageBytes)) return false;
      std::copy_n(chunk.bytes.get() + offset, n, out);
      return true;
    }
    for (uint32_t i = 0; i < n;) {
      const uint64_t at = address + i;
      Chunk& chunk = chunkAt(at - at % kChunkBytes);
      const uint32_t offset = static_cast<uint32_t>(at % kChunkBytes);
      const uint32_t page = offset / kPageBytes;
      const uint32_t readableEnd = page * kPageBytes + readable(chunk, page);
      if (offset >= readableEnd) return false;
      const uint32_t take = std::min(n - i, readableEnd - offset);
      std::copy_n(chunk.bytes.get() + offset, take, out + i);
      i += take;
    }
    return true;
  }

  /// The bytes from address on that can be read without leaving its page; n is how many
  /// (0 when address cannot be read). Valid while this memory lives.
  const uint8_t* run(uint64_t address, uint32_t& n) {
    const uint32_t offset = static_cast<uint32_t>(address % kChunkBytes);
    Chunk& chunk = recentChunk(address - offset);
    const uint32_t inPage = offset % kPageBytes;
    const uint32_t got = readable(chunk, offset / kPageBytes);
    n = got > inPage ? got - inPage : 0;
    return chunk.bytes.get() + offset;
  }

  bool word(uint64_t address, uint32_t& value) {
    uint8_t b[4];
    if (!bytes(address, b, 4)) return false;
    value = le32(b);
    return true;
  }

 private:
  struct Chunk {
    Address base = 0;
    std::unique_ptr<uint8_t[]> bytes;  // left unfilled: only the readable bytes are ever looked at
    uint32_t readable[kChunkPages] = {};  // readable bytes from each page's start
    uint32_t unread = 0;                  // pages not read yet, one bit each
  };
  static_assert(kChunkPages <= 32);

  /// Readable bytes from the page's start, the page read first if it was not yet.
  uint32_t readable(Chunk& chunk, uint32_t page) {
    const uint32_t bit = uint32_t{1} << page;
    if (chunk.unread & bit) {
      chunk.unread &= ~bit;
      const uint32_t from = page * kPageBytes;
      chunk.readable[page] = std::min(
          source_.read(chunk.base + from, chunk.bytes.get() + from, kPageBytes), kPageBytes);
    }
    return chunk.readable[page];
  }

  // The chunks a walk uses by turns (its stack, the code its return addresses point
  // into) are remembered, so that a read of one of them skips the table. The table's
  // entries stay where they are while others are added.
  Chunk& recentChunk(uint64_t base) {
    for (const Recent& r : recent_)
      if (r.chunk != nullptr && r.base == base) return *r.chunk;
    Chunk& chunk = chunkAt(base);
    recent_[nextRecent_] = {base, &chunk};
    nextRecent_ = (nextRecent_ + 1) % kRecent;
    return chunk;
  }

  Chunk& chunkAt(uint64_t base) {
    auto [it, fresh] = chunks_.try_emplace(base);
    Chunk& chunk = it->second;
    if (!fresh) return chunk;
    chunk.base = static_cast<Address>(base);
    chunk.bytes.reset(new uint8_t[kChunkBytes]);
    const bool onStack = stack_ && base < stack_->high && base + kChunkBytes > stack_->low;
    if (!onStack) {
      chunk.unread = kChunkPages == 32 ? ~uint32_t{0} : (uint32_t{1} << kChunkPages) - 1;
      return chunk;
    }
    const uint32_t got =
        std::min(source_.read(chunk.base, chunk.bytes.get(), kChunkBytes), kChunkBytes);
    for (uint32_t page = 0; page < kChunkPages; ++page) {
      const uint32_t from = page * kPageBytes;
      if (from < got) {
        chunk.readable[page] = std::min(kPageBytes, got - from);
      } else {
        // A hole need not end the chunk: the pages after it are asked one by one.
        chunk.unread |= uint32_t{1} << page;
      }
    }
    return chunk;
  }

  struct Recent {
    uint64_t base = 0;
    Chunk* chunk = nullptr;
  };
  static constexpr size_t kRecent = 4;

  MemorySource& source_;
  std::optional<StackRange> stack_;
  std::unordered_map<uint64_t, Chunk> chunks_;
  Recent recent_[kRecent];
  size_t nextRecent_ = 0;
};

/// The stack words from ESP up that would pass as return addresses in any section of a
/// module: above 8, in a module, behind call-site bytes. Found as far up the stack as the
/// passes ask, once for all of them: the walk takes those in executable sections, the raw
/// scan all of them.
class Candidates {
 public:
  struct Hit {
    uint64_t slot;
    Address word;
    bool executable;  // in an executable section of its module
  };

  Candidates(MemorySource& source, ChunkedMemory& memory, uint64_t from, uint64_t top)
      : source_(source), memory_(memory), from_(from), next_(from), top_(top) {}

  /// Whether slot is one of the words looked at: the words lie 4 bytes apart from ESP.
  bool inStep(uint64_t slot) const { return slot % 4 == from_ % 4; }

  /// Hit i in stack order; nullptr when there are fewer below the top.
  const Hit* at(size_t i) {
    while (hits_.size() <= i)
      if (!findNext()) return nullptr;
    return &hits_[i];
  }

 private:
  // Looks at the words from next_ on up to the next hit; false when none is left.
  bool findNext() {
    while (next_ + 4 <= top_) {
      uint32_t n = 0;
      const uint8_t* p = memory_.run(next_, n);
      if (n >= 4) {
        // The readable words of this page, read in place.
        const uint64_t end = std::min<uint64_t>(next_ + (n & ~3u), top_);
        for (uint64_t slot = next_; slot + 4 <= end; slot += 4, p += 4) {
          const uint32_t word = le32(p);
          if (word > 8 && take(slot, word)) {
            next_ = slot + 4;
            return true;
          }
        }
        next_ += (end - next_) & ~uint64_t{3};
        continue;
      }
      // Unreadable, or a word across a page end.
      uint32_t word = 0;
      const uint64_t slot = next_;
      next_ += 4;
      if (memory_.word(slot, word) && word > 8 && take(slot, word)) return true;
    }
    return false;
  }

  bool take(uint64_t slot, Address word) {
    const auto module = source_.moduleAt(word);
    if (!module) return false;
    uint8_t b[8];
    if (!memory_.bytes(uint64_t{word} - 8, b, 8) || !callSiteBytesMatch(le32(b), le32(b + 4)))
      return false;
    hits_.push_back({slot, word, module->executable});
    return true;
  }

  MemorySource& source_;
  ChunkedMemory& memory_;
  uint64_t from_;
  uint64_t next_;  // the lowest slot not yet looked at
  uint64_t top_;
  std::vector<Hit> hits_;
};

/// One walk's state: the entries so far, the nearest trusted one and the memory read.
class Walk {
 public:
  Walk(MemorySource& source, ChunkedMemory& memory, Candidates& candidates, StackRange range,
       uint32_t maxEntries, std::vector<StackEntry>& entries)
      : source_(source),
        memory_(memory),
        candidates_(candidates),
        range_(range),
        max_(maxEntries),
        entries_(entries) {}

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
  /// The scans start ever higher on the stack, so the candidates below one's start are
  /// passed for good.
  std::optional<uint64_t> scan(uint64_t from, uint64_t to, bool stopAtCall) {
    if (!candidates_.inStep(from)) return scanEach(from, to, stopAtCall);
    while (!full()) {
      const Candidates::Hit* hit = candidates_.at(next_);
      if (hit == nullptr || hit->slot + 4 > to) break;
      ++next_;
      if (hit->slot < from || !hit->executable) continue;
      const FoundBy how = callsBelow(hit->word) ? FoundBy::Call : FoundBy::Scan;
      add(hit->word, hit->slot, how);
      if (stopAtCall && how == FoundBy::Call) return hit->slot;
    }
    return std::nullopt;
  }

  /// scan() of words out of step with ESP (an ESP not a multiple of 4), word by word.
  std::optional<uint64_t> scanEach(uint64_t from, uint64_t to, bool stopAtCall) {
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
    if (b[1] == 0xE8) return throughThunk(static_cast<Address>(returnAddress + le32(b + 2)));
    if (b[0] == 0xFF && b[1] == 0x15) {
      const Address slot = le32(b + 2);
      uint32_t target = 0;
      if (source_.moduleAt(slot) && memory_.word(slot, target)) return target;
    }
    return std::nullopt;
  }

  /// Where a direct call to target goes on to: a call into another module goes through
  /// the caller's import thunk (jmp [slot]), whose slot holds the routine's address.
  Address throughThunk(Address target) {
    uint8_t j[6];
    if (!memory_.bytes(target, j, 6) || j[0] != 0xFF || j[1] != 0x25) return target;
    const Address slot = le32(j + 2);
    uint32_t routine = 0;
    if (source_.moduleAt(slot) && memory_.word(slot, routine)) return routine;
    return target;
  }

  /// Whether address may lie in the routine that starts at target: in the same module, at
  /// or above it.
  bool inRoutineOf(Address address, Address target) {
    if (target > address) return false;
    const auto module = moduleOfEntry(address);
    const auto targetModule = source_.moduleAt(target);
    return module && targetModule && module->base == targetModule->base;
  }

  /// The module of an entry's address. Every scan hit asks it of the same entry below,
  /// and the source's answers do not change during a walk: the last one is kept.
  std::optional<ModuleSpan> moduleOfEntry(Address address) {
    if (!entryModuleKnown_ || entryAddress_ != address) {
      entryModule_ = source_.moduleAt(address);
      entryAddress_ = address;
      entryModuleKnown_ = true;
    }
    return entryModule_;
  }

  /// The `call` entries since the last frame must also fit the frame about to be added:
  /// going down from it, each one lies in the routine the entry above calls. A hit that
  /// does not is stale, however well it fits the entry below: it goes back to `scan`.
  void fitToCaller(Address callerReturn) {
    std::optional<Address> target = callTarget(callerReturn);
    for (size_t i = entries_.size(); i-- > 0 && target;) {
      StackEntry& entry = entries_[i];
      if (entry.foundBy == FoundBy::Frame || entry.foundBy == FoundBy::Context) break;
      if (entry.foundBy != FoundBy::Call) {
        // A scan hit in the routine the entry above calls is its link down, made by a call
        // whose target cannot be told (through a register, or a pointer the memory does
        // not hold as it was): nothing below it can be judged from above.
        if (inRoutineOf(entry.address, *target)) break;
        continue;
      }
      if (inRoutineOf(entry.address, *target))
        target = callTarget(entry.address);
      else
        entry.foundBy = FoundBy::Scan;
    }
  }

  MemorySource& source_;
  ChunkedMemory& memory_;
  Candidates& candidates_;
  StackRange range_;
  uint32_t max_;
  std::vector<StackEntry>& entries_;
  Address below_ = 0;  // address of the nearest context, frame or call entry
  size_t next_ = 0;    // the first candidate no scan has passed
  bool entryModuleKnown_ = false;
  Address entryAddress_ = 0;
  std::optional<ModuleSpan> entryModule_;
};

bool onStack(const std::optional<StackRange>& range, Address esp) {
  return range && esp >= range->low && esp < range->high;
}

std::vector<StackEntry> walkWith(MemorySource& source, ChunkedMemory& memory,
                                 Candidates& candidates, StackRange range,
                                 const WalkContext& context, uint32_t maxEntries) {
  std::vector<StackEntry> entries;
  entries.push_back({context.eip, context.esp, FoundBy::Context});
  Walk(source, memory, candidates, range, maxEntries, entries).run(context);
  return entries;
}

std::vector<StackEntry> rawScanWith(Candidates& candidates, uint32_t maxEntries) {
  std::vector<StackEntry> hits;
  Address previous = 0;
  for (size_t i = 0; hits.size() < maxEntries; ++i) {
    const Candidates::Hit* hit = candidates.at(i);
    if (hit == nullptr) break;
    if (hit->word == previous) continue;
    hits.push_back({hit->word, static_cast<Address>(hit->slot), FoundBy::Scan});
    previous = hit->word;
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
  if (maxEntries == 0) return {};
  const auto range = source_.stackRange();
  if (!onStack(range, context.esp)) return {{context.eip, context.esp, FoundBy::Context}};
  ChunkedMemory memory(source_);
  Candidates candidates(source_, memory, context.esp, range->high);
  return walkWith(source_, memory, candidates, *range, context, maxEntries);
}

std::vector<StackEntry> StackWalker::rawScan(Address esp, uint32_t maxEntries) {
  const auto range = source_.stackRange();
  if (!onStack(range, esp)) return {};
  ChunkedMemory memory(source_);
  Candidates candidates(source_, memory, esp, range->high);
  return rawScanWith(candidates, maxEntries);
}

std::vector<StackEntry> StackWalker::merged(const WalkContext& context, uint32_t maxEntries) {
  if (maxEntries == 0) return {};
  const auto range = source_.stackRange();
  if (!onStack(range, context.esp)) return {{context.eip, context.esp, FoundBy::Context}};
  // Both passes look at the same words: the memory read and the candidates found serve
  // them both.
  ChunkedMemory memory(source_);
  Candidates candidates(source_, memory, context.esp, range->high);
  const std::vector<StackEntry> walked =
      walkWith(source_, memory, candidates, *range, context, maxEntries);
  const std::vector<StackEntry> raw = rawScanWith(candidates, maxEntries);
  // Both lists run up the stack, each slot at most once: one pass merges them. A raw hit
  // at the slot of a verified entry takes its label.
  std::vector<StackEntry> list;
  list.reserve(raw.size() + walked.size());
  if (!walked.empty() && walked.front().foundBy == FoundBy::Context) list.push_back(walked.front());
  size_t r = 0;
  for (const StackEntry& entry : walked) {
    if (entry.foundBy != FoundBy::Frame && entry.foundBy != FoundBy::Call) continue;
    for (; r < raw.size() && raw[r].position < entry.position; ++r) list.push_back(raw[r]);
    if (r < raw.size() && raw[r].position == entry.position) {
      list.push_back(raw[r++]);
      list.back().foundBy = entry.foundBy;
    } else {
      list.push_back(entry);
    }
  }
  list.insert(list.end(), raw.begin() + static_cast<std::ptrdiff_t>(r), raw.end());
  return list;
}

}  // namespace ostrel
