#include "minidump/minidump.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ostrel {

namespace {

constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr uint16_t kVersion = 0xA793;
constexpr uint32_t kHeaderSize = 32;
constexpr uint32_t kDirectoryEntrySize = 12;
constexpr uint32_t kThreadSize = 48;
constexpr uint32_t kModuleSize = 108;
constexpr uint32_t kMemoryDescriptorSize = 16;
constexpr uint32_t kSystemInfoSize = 56;
constexpr uint32_t kMiscInfoSize = 24;
constexpr uint32_t kExceptionStreamSize = 168;
constexpr uint32_t kMaxExceptionParameters = 15;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
// The x86 context: its flags word says which processor it is for, the registers the walk
// starts from lie in the part every writer saves.
constexpr uint32_t kX86ContextFlag = 0x00010000;
constexpr uint32_t kX86RegistersSize = 0xCC;
constexpr uint32_t kX86Ebp = 0xB4, kX86Eip = 0xB8, kX86Esp = 0xC4;

/// Thrown inside the parser only; parse() turns it into the error text.
struct DumpDamage {
  std::string what;
};

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | uint32_t{le16(p + 2)} << 16; }
uint64_t le64(const uint8_t* p) { return le32(p) | uint64_t{le32(p + 4)} << 32; }

std::string hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

std::string utf16ToUtf8(const uint8_t* p, size_t units) {
  std::string out;
  out.reserve(units);
  auto put = [&out](uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  for (size_t i = 0; i < units; ++i) {
    const uint32_t u = le16(p + 2 * i);
    if (u == 0) break;  // some writers count the terminator
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
      const uint32_t low = le16(p + 2 * i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        put(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    put(u >= 0xD800 && u < 0xE000 ? 0xFFFD : u);
  }
  return out;
}

class Parser {
 public:
  Parser(DumpSource& source, Minidump& dump) : source_(source), dump_(dump), size_(source.size()) {}

  void run() {
    header();
    for (const DumpDirectoryEntry& e : dump_.directory) {
      if (!seen_.insert(e.type)) continue;  // the first stream of a type counts
      switch (e.type) {
        case kDumpSystemInfo:
          systemInfo(e.location);
          break;
        case kDumpMiscInfo:
          miscInfo(e.location);
          break;
        case kDumpThreadList:
          threadList(e.location);
          break;
        case kDumpModuleList:
          moduleList(e.location);
          break;
        case kDumpException:
          exception(e.location);
          break;
        case kDumpMemoryList:
          memoryList(e.location);
          break;
        case kDumpMemory64List:
          memory64List(e.location);
          break;
        default:
          break;
      }
    }
    memoryIndex();
  }

 private:
  struct TypeSet {
    std::vector<uint32_t> types;
    bool insert(uint32_t t) {
      if (std::find(types.begin(), types.end(), t) != types.end()) return false;
      types.push_back(t);
      return true;
    }
  };

  [[noreturn]] void fail(std::string what) { throw DumpDamage{std::move(what)}; }

  std::string fileSize() const {
    return "the end of the file (" + std::to_string(size_) + " bytes)";
  }

  /// Fails unless [offset, offset + n) lies in the file.
  void need(uint64_t offset, uint64_t n, const std::string& what) {
    if (offset > size_) fail(what + " at offset " + hex(offset) + " lies past " + fileSize());
    if (n > size_ - offset)
      fail(what + " at offset " + hex(offset) + " (" + std::to_string(n) + " bytes) runs past " +
           fileSize());
  }

  std::vector<uint8_t> bytes(uint64_t offset, uint64_t n, const std::string& what) {
    need(offset, n, what);
    std::vector<uint8_t> out(static_cast<size_t>(n));
    if (n != 0 && !source_.read(offset, out.data(), out.size()))
      fail(what + " at offset " + hex(offset) + " cannot be read");
    return out;
  }

  /// A stream's data must hold at least the fixed part of its record.
  std::vector<uint8_t> stream(DumpLocation at, uint32_t least, const std::string& name) {
    if (at.size < least)
      fail(name + ": the stream has " + std::to_string(at.size) + " bytes, its record needs " +
           std::to_string(least));
    need(at.rva, at.size, name + " stream");
    return bytes(at.rva, least, name + " stream");
  }

  /// Where the entries of a list stream start: after the count, or after 4 more bytes
  /// when the writer aligned them to 8 (the stream is then exactly that much longer).
  std::vector<uint8_t> entries(DumpLocation at, uint64_t count, uint32_t countSize,
                               uint32_t entrySize, const std::string& name) {
    const uint64_t listed = count * entrySize;
    uint64_t first = countSize;
    if (at.size == countSize + listed + 4) first += 4;
    if (at.size < first + listed)
      fail(name + ": " + std::to_string(count) + " entries of " + std::to_string(entrySize) +
           " bytes need " + std::to_string(first + listed) + " bytes, the stream has " +
           std::to_string(at.size));
    return bytes(uint64_t{at.rva} + first, listed, name);
  }

  void tooMany(uint64_t count, uint64_t cap, const std::string& name, const char* what) {
    if (count > cap)
      fail(name + ": " + std::to_string(count) + " " + what + " is more than the reader accepts (" +
           std::to_string(cap) + ")");
  }

  std::string string(uint32_t rva, const std::string& what) {
    const std::vector<uint8_t> length = bytes(rva, 4, what);
    const uint32_t n = le32(length.data());
    if (n > Minidump::kMaxStringBytes)
      fail(what + " at offset " + hex(rva) + " is " + std::to_string(n) +
           " bytes long, more than the reader accepts (" +
           std::to_string(Minidump::kMaxStringBytes) + ")");
    const std::vector<uint8_t> text = bytes(uint64_t{rva} + 4, n, what);
    return utf16ToUtf8(text.data(), n / 2);
  }

  DumpContext context(DumpLocation at, const std::string& what) {
    DumpContext c;
    c.location = at;
    if (at.size == 0) return c;
    if (at.size > Minidump::kMaxContextBytes)
      fail(what + " at offset " + hex(at.rva) + " is " + std::to_string(at.size) +
           " bytes long, more than the reader accepts (" +
           std::to_string(Minidump::kMaxContextBytes) + ")");
    c.bytes = bytes(at.rva, at.size, what);
    if (c.bytes.size() >= kX86RegistersSize &&
        (le32(c.bytes.data()) & 0xFFFF0000) == kX86ContextFlag) {
      c.isX86 = true;
      c.eip = le32(&c.bytes[kX86Eip]);
      c.esp = le32(&c.bytes[kX86Esp]);
      c.ebp = le32(&c.bytes[kX86Ebp]);
    }
    return c;
  }

  DumpMemoryRange range(const uint8_t* descriptor, const std::string& what) {
    DumpMemoryRange r{le64(descriptor), le32(descriptor + 8), le32(descriptor + 12)};
    need(r.fileOffset, r.size, what + " data");
    if (r.size != 0 && r.base + (r.size - 1) < r.base)
      fail(what + " range " + hex(r.base) + " (" + std::to_string(r.size) +
           " bytes) wraps past the end of the address space");
    return r;
  }

  void header() {
    if (size_ < kHeaderSize)
      fail("header: the file has " + std::to_string(size_) + " bytes, a dump header needs " +
           std::to_string(kHeaderSize));
    const std::vector<uint8_t> h = bytes(0, kHeaderSize, "header");
    if (le32(&h[0]) != kSignature)
      fail("header: signature " + hex(le32(&h[0])) + " at offset 0x0 is not MDMP");
    dump_.version = le32(&h[4]);
    if ((dump_.version & 0xFFFF) != kVersion)
      fail("header: version " + hex(dump_.version) + " at offset 0x4 is not a minidump version (" +
           hex(kVersion) + ")");
    const uint32_t count = le32(&h[8]);
    const uint32_t rva = le32(&h[12]);
    dump_.timestamp = le32(&h[20]);
    dump_.flags = le64(&h[24]);
    tooMany(count, Minidump::kMaxStreams, "header", "streams");
    const std::vector<uint8_t> d =
        bytes(rva, uint64_t{count} * kDirectoryEntrySize, "stream directory");
    dump_.directory.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* e = &d[size_t{i} * kDirectoryEntrySize];
      dump_.directory[i] = {le32(e), {le32(e + 4), le32(e + 8)}};
    }
  }

  void systemInfo(DumpLocation at) {
    const std::vector<uint8_t> s = stream(at, kSystemInfoSize, "system info");
    DumpSystemInfo& i = dump_.systemInfo;
    i.processorArchitecture = le16(&s[0]);
    i.processorLevel = le16(&s[2]);
    i.processorRevision = le16(&s[4]);
    i.numberOfProcessors = s[6];
    i.productType = s[7];
    i.majorVersion = le32(&s[8]);
    i.minorVersion = le32(&s[12]);
    i.buildNumber = le32(&s[16]);
    i.platformId = le32(&s[20]);
    if (const uint32_t csd = le32(&s[24]); csd != 0)
      i.csdVersion = string(csd, "system info: service pack text");
    dump_.hasSystemInfo = true;
  }

  void miscInfo(DumpLocation at) {
    const std::vector<uint8_t> s = stream(at, kMiscInfoSize, "misc info");
    DumpMiscInfo& m = dump_.miscInfo;
    m.flags = le32(&s[4]);
    m.hasProcessId = (m.flags & 1) != 0;
    if (m.hasProcessId) m.processId = le32(&s[8]);
    m.hasProcessTimes = (m.flags & 2) != 0;
    if (m.hasProcessTimes) {
      m.processCreateTime = le32(&s[12]);
      m.processUserTime = le32(&s[16]);
      m.processKernelTime = le32(&s[20]);
    }
    dump_.hasMiscInfo = true;
  }

  void threadList(DumpLocation at) {
    const std::string name = "thread list";
    const uint32_t count = le32(stream(at, 4, name).data());
    tooMany(count, Minidump::kMaxThreads, name, "threads");
    const std::vector<uint8_t> list = entries(at, count, 4, kThreadSize, name);
    dump_.threads.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* t = &list[size_t{i} * kThreadSize];
      const std::string entry = name + ": entry " + std::to_string(i);
      DumpThread& thread = dump_.threads.emplace_back();
      thread.id = le32(t);
      thread.suspendCount = le32(t + 4);
      thread.priorityClass = le32(t + 8);
      thread.priority = le32(t + 12);
      thread.teb = le64(t + 16);
      thread.stack = range(t + 24, entry + " stack");
      thread.context = context({le32(t + 40), le32(t + 44)}, entry + " context");
    }
  }

  void moduleList(DumpLocation at) {
    const std::string name = "module list";
    const uint32_t count = le32(stream(at, 4, name).data());
    tooMany(count, Minidump::kMaxModules, name, "modules");
    const std::vector<uint8_t> list = entries(at, count, 4, kModuleSize, name);
    dump_.modules.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* m = &list[size_t{i} * kModuleSize];
      const std::string entry = name + ": entry " + std::to_string(i);
      DumpModule& module = dump_.modules.emplace_back();
      module.base = le64(m);
      module.size = le32(m + 8);
      module.checksum = le32(m + 12);
      module.timestamp = le32(m + 16);
      module.name = string(le32(m + 20), entry + " name");
      module.hasVersion = le32(m + 24) == kFixedFileInfoSignature;
      if (module.hasVersion) {
        module.fileVersionMS = le32(m + 32), module.fileVersionLS = le32(m + 36);
        module.productVersionMS = le32(m + 40), module.productVersionLS = le32(m + 44);
      }
      module.codeViewLocation = {le32(m + 76), le32(m + 80)};
      if (module.codeViewLocation.size > Minidump::kMaxCodeViewBytes)
        fail(entry + " CodeView record at offset " + hex(module.codeViewLocation.rva) + " is " +
             std::to_string(module.codeViewLocation.size) +
             " bytes long, more than the reader accepts (" +
             std::to_string(Minidump::kMaxCodeViewBytes) + ")");
      module.codeView = bytes(module.codeViewLocation.rva, module.codeViewLocation.size,
                              entry + " CodeView record");
    }
  }

  void exception(DumpLocation at) {
    const std::vector<uint8_t> s = stream(at, kExceptionStreamSize, "exception");
    DumpException& e = dump_.exception;
    e.threadId = le32(&s[0]);
    e.code = le32(&s[8]);
    e.flags = le32(&s[12]);
    e.record = le64(&s[16]);
    e.address = le64(&s[24]);
    const uint32_t n = le32(&s[32]);
    if (n > kMaxExceptionParameters)
      fail("exception: " + std::to_string(n) + " parameters at offset " +
           hex(uint64_t{at.rva} + 32) + ", at most " + std::to_string(kMaxExceptionParameters) +
           " fit the record");
    for (uint32_t i = 0; i < n; ++i) e.parameters.push_back(le64(&s[40 + 8 * i]));
    e.context = context({le32(&s[160]), le32(&s[164])}, "exception: context");
    dump_.hasException = true;
  }

  void memoryList(DumpLocation at) {
    const std::string name = "memory list";
    const uint32_t count = le32(stream(at, 4, name).data());
    tooMany(count, Minidump::kMaxMemoryRanges, name, "ranges");
    const std::vector<uint8_t> list = entries(at, count, 4, kMemoryDescriptorSize, name);
    for (uint32_t i = 0; i < count; ++i)
      listed_.push_back(
          range(&list[size_t{i} * kMemoryDescriptorSize], name + ": entry " + std::to_string(i)));
  }

  void memory64List(DumpLocation at) {
    const std::string name = "memory64 list";
    const std::vector<uint8_t> head = stream(at, 16, name);
    const uint64_t count = le64(&head[0]);
    uint64_t offset = le64(&head[8]);
    tooMany(count, Minidump::kMaxMemoryRanges, name, "ranges");
    const std::vector<uint8_t> list = entries(at, count, 16, kMemoryDescriptorSize, name);
    for (uint64_t i = 0; i < count; ++i) {
      const uint8_t* d = &list[static_cast<size_t>(i) * kMemoryDescriptorSize];
      const std::string entry = name + ": entry " + std::to_string(i);
      DumpMemoryRange r{le64(d), le64(d + 8), offset};
      // The data of the ranges lies back to back from the base offset on.
      if (r.size > UINT64_MAX - offset)
        fail(entry + " size " + hex(r.size) + " overflows the data offset " + hex(offset));
      need(offset, r.size, entry + " data");
      if (r.size != 0 && r.base + (r.size - 1) < r.base)
        fail(entry + " range " + hex(r.base) + " (" + std::to_string(r.size) +
             " bytes) wraps past the end of the address space");
      offset += r.size;
      listed_.push_back(r);
    }
  }

  /// Sorts the listed ranges, keeps one of identical ones and refuses overlaps. A thread's stack
  /// that no listed range touches is added (some writers keep stacks out of the memory lists).
  void memoryIndex() {
    std::vector<DumpMemoryRange>& m = dump_.memory;
    for (const DumpMemoryRange& r : listed_)
      if (r.size != 0) m.push_back(r);
    std::sort(m.begin(), m.end(), [](const auto& a, const auto& b) { return a.base < b.base; });
    // The same block listed twice is one block: Wine's writer saves the code at each thread's
    // instruction pointer, so threads waiting at one place repeat it.
    m.erase(std::unique(
                m.begin(), m.end(),
                [](const auto& a, const auto& b) { return a.base == b.base && a.size == b.size; }),
            m.end());
    for (size_t i = 1; i < m.size(); ++i)
      if (m[i].base - m[i - 1].base < m[i - 1].size)
        fail("memory list: range " + hex(m[i].base) + " (" + std::to_string(m[i].size) +
             " bytes) overlaps range " + hex(m[i - 1].base) + " (" + std::to_string(m[i - 1].size) +
             " bytes)");
    for (const DumpThread& t : dump_.threads) {
      if (t.stack.size == 0) continue;
      const DumpMemoryRange& s = t.stack;
      const auto overlaps = [&s](const DumpMemoryRange& r) {
        return r.base <= s.base ? s.base - r.base < r.size : r.base - s.base < s.size;
      };
      if (std::none_of(m.begin(), m.end(), overlaps))
        m.insert(std::upper_bound(m.begin(), m.end(), t.stack,
                                  [](const auto& a, const auto& b) { return a.base < b.base; }),
                 t.stack);
    }
  }

  DumpSource& source_;
  Minidump& dump_;
  const uint64_t size_;
  TypeSet seen_;
  std::vector<DumpMemoryRange> listed_;
};

}  // namespace

std::unique_ptr<Minidump> Minidump::parse(std::unique_ptr<DumpSource> source, std::string& error) {
  auto dump = std::make_unique<Minidump>();
  try {
    Parser(*source, *dump).run();
  } catch (const DumpDamage& damage) {
    error = damage.what;
    return nullptr;
  }
  dump->source_ = std::move(source);
  return dump;
}

std::unique_ptr<Minidump> Minidump::open(const std::string& path, std::string& error) {
  std::unique_ptr<DumpFile> file = DumpFile::open(path, error);
  if (file == nullptr) return nullptr;
  return parse(std::move(file), error);
}

const DumpThread* Minidump::thread(uint32_t id) const {
  for (const DumpThread& t : threads)
    if (t.id == id) return &t;
  return nullptr;
}

const DumpModule* Minidump::moduleAt(uint64_t address) const {
  for (const DumpModule& m : modules)
    if (address >= m.base && address - m.base < m.size) return &m;
  return nullptr;
}

uint32_t Minidump::readMemory(uint64_t address, void* out, uint32_t n) {
  if (source_ == nullptr) return 0;
  auto* to = static_cast<char*>(out);
  uint32_t done = 0;
  // The last range starting at or below the address; the ones after it follow on only
  // when they start where it ends.
  auto it = std::upper_bound(memory.begin(), memory.end(), address,
                             [](uint64_t a, const DumpMemoryRange& r) { return a < r.base; });
  if (it == memory.begin()) return 0;
  --it;
  while (done < n && it != memory.end()) {
    const uint64_t at = address + done;
    if (at < it->base || at - it->base >= it->size) break;
    const uint64_t within = at - it->base;
    const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(n - done, it->size - within));
    if (!source_->read(it->fileOffset + within, to + done, take)) break;
    done += take;
    ++it;
  }
  return done;
}

}  // namespace ostrel
