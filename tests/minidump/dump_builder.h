// Writes small minidumps for the reader's tests and the fuzz target's seeds: the fixed
// records at their documented offsets, the variable data (strings, contexts, CodeView
// records, memory) after all streams, memory last and in list order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel::test {

struct DumpBuilder {
  struct Thread {
    uint32_t id = 0, suspendCount = 0, priorityClass = 0x20, priority = 0;
    uint64_t teb = 0;
    uint64_t stackBase = 0;
    std::string stack;  // saved in the memory list too, as the usual writers do
    uint32_t eip = 0, esp = 0, ebp = 0;
  };
  struct Module {
    uint64_t base = 0;
    uint32_t size = 0, checksum = 0, timestamp = 0;
    std::u16string name;
    bool version = false;
    uint32_t fileMS = 0, fileLS = 0, productMS = 0, productLS = 0;
    std::string codeView;
  };
  struct Memory {
    uint64_t base = 0;
    std::string bytes;
  };
  struct Exception {
    uint32_t threadId = 0, code = 0, flags = 0;
    uint64_t address = 0;
    std::vector<uint64_t> parameters;
    uint32_t eip = 0, esp = 0, ebp = 0;
  };

  uint16_t architecture = 0;
  uint32_t major = 6, minor = 1, build = 7601;
  std::u16string csd = u"Service Pack 1";
  bool misc = true;
  uint32_t processId = 0, createTime = 0, userTime = 0, kernelTime = 0;
  std::vector<Thread> threads;
  std::vector<Module> modules;
  std::vector<Memory> memory;
  bool hasException = false;
  Exception exception;
  bool memory64 = false;      // the ranges in a 64-bit list, stacks included
  bool unknownStream = true;  // a stream of a type no reader knows, with a bogus location

  static void put16(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 2; ++i) s[at + i] = static_cast<char>(v >> 8 * i);
  }
  static void put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> 8 * i);
  }
  static void put64(std::string& s, size_t at, uint64_t v) {
    put32(s, at, static_cast<uint32_t>(v)), put32(s, at + 4, static_cast<uint32_t>(v >> 32));
  }

  static std::string x86Context(uint32_t eip, uint32_t esp, uint32_t ebp) {
    std::string c(716, '\0');
    put32(c, 0, 0x1003F), put32(c, 0xB4, ebp), put32(c, 0xB8, eip), put32(c, 0xC4, esp);
    put32(c, 0xB0, 0xEAEAEAEA);  // eax, to tell the bytes were kept whole
    return c;
  }

  std::string write() const {
    struct Stream {
      uint32_t type;
      std::string body;
    };
    std::vector<Stream> streams;
    std::string data;  // after the streams; offsets fixed up below
    std::vector<std::pair<size_t, size_t>>
        fixups;  // (stream index, offset in body) of data offsets
    std::vector<std::pair<Memory, bool>> ranges;
    for (const Thread& t : threads) ranges.push_back({{t.stackBase, t.stack}, true});
    for (const Memory& m : memory) ranges.push_back({m, false});

    // Every offset into data is written as a data-relative value, then moved by the data's
    // start once the streams' sizes are known.
    auto addData = [&data](const std::string& bytes) {
      const uint32_t at = static_cast<uint32_t>(data.size());
      data += bytes;
      while (data.size() % 4) data += '\0';
      return at;
    };
    auto addString = [&](const std::u16string& text) {
      std::string s(4 + 2 * text.size() + 2, '\0');
      put32(s, 0, static_cast<uint32_t>(2 * text.size()));
      for (size_t i = 0; i < text.size(); ++i) put16(s, 4 + 2 * i, text[i]);
      return addData(s);
    };
    auto location = [&](Stream& s, size_t at, uint32_t size, uint32_t dataOffset) {
      put32(s.body, at, size), put32(s.body, at + 4, dataOffset);
      fixups.push_back({static_cast<size_t>(&s - streams.data()), at + 4});
    };
    streams.reserve(8);

    {
      Stream& s = streams.emplace_back(Stream{7, std::string(56, '\0')});
      put16(s.body, 0, architecture), put16(s.body, 2, 6), s.body[6] = 2, s.body[7] = 1;
      put32(s.body, 8, major), put32(s.body, 12, minor), put32(s.body, 16, build),
          put32(s.body, 20, 2);
      put32(s.body, 24, addString(csd));
      fixups.push_back({streams.size() - 1, 24});
    }
    if (misc) {
      Stream& s = streams.emplace_back(Stream{15, std::string(24, '\0')});
      put32(s.body, 0, 24), put32(s.body, 4, 3), put32(s.body, 8, processId);
      put32(s.body, 12, createTime), put32(s.body, 16, userTime), put32(s.body, 20, kernelTime);
    }
    {
      Stream& s = streams.emplace_back(Stream{3, std::string(4 + 48 * threads.size(), '\0')});
      put32(s.body, 0, static_cast<uint32_t>(threads.size()));
      for (size_t i = 0; i < threads.size(); ++i) {
        const Thread& t = threads[i];
        const size_t e = 4 + 48 * i;
        put32(s.body, e, t.id), put32(s.body, e + 4, t.suspendCount);
        put32(s.body, e + 8, t.priorityClass), put32(s.body, e + 12, t.priority);
        put64(s.body, e + 16, t.teb), put64(s.body, e + 24, t.stackBase);
        // The stack's data offset is set with the memory below.
        const std::string context = x86Context(t.eip, t.esp, t.ebp);
        location(s, e + 40, static_cast<uint32_t>(context.size()), addData(context));
      }
    }
    {
      Stream& s = streams.emplace_back(Stream{4, std::string(4 + 108 * modules.size(), '\0')});
      put32(s.body, 0, static_cast<uint32_t>(modules.size()));
      for (size_t i = 0; i < modules.size(); ++i) {
        const Module& m = modules[i];
        const size_t e = 4 + 108 * i;
        put64(s.body, e, m.base), put32(s.body, e + 8, m.size);
        put32(s.body, e + 12, m.checksum), put32(s.body, e + 16, m.timestamp);
        put32(s.body, e + 20, addString(m.name));
        fixups.push_back({streams.size() - 1, e + 20});
        if (m.version) {
          put32(s.body, e + 24, 0xFEEF04BD), put32(s.body, e + 28, 0x10000);
          put32(s.body, e + 32, m.fileMS), put32(s.body, e + 36, m.fileLS);
          put32(s.body, e + 40, m.productMS), put32(s.body, e + 44, m.productLS);
        }
        if (!m.codeView.empty())
          location(s, e + 76, static_cast<uint32_t>(m.codeView.size()), addData(m.codeView));
      }
    }
    if (hasException) {
      Stream& s = streams.emplace_back(Stream{6, std::string(168, '\0')});
      const Exception& x = exception;
      put32(s.body, 0, x.threadId), put32(s.body, 8, x.code), put32(s.body, 12, x.flags);
      put64(s.body, 24, x.address), put32(s.body, 32, static_cast<uint32_t>(x.parameters.size()));
      for (size_t i = 0; i < x.parameters.size() && i < 15; ++i)
        put64(s.body, 40 + 8 * i, x.parameters[i]);
      const std::string context = x86Context(x.eip, x.esp, x.ebp);
      location(s, 160, static_cast<uint32_t>(context.size()), addData(context));
    }
    // Memory last, back to back, as a 64-bit list needs it.
    std::vector<uint32_t> memoryAt;
    for (const auto& r : ranges) memoryAt.push_back(addData(r.first.bytes));
    {
      Stream& s = memory64
                      ? streams.emplace_back(Stream{9, std::string(16 + 16 * ranges.size(), '\0')})
                      : streams.emplace_back(Stream{5, std::string(4 + 16 * ranges.size(), '\0')});
      const size_t index = streams.size() - 1;
      if (memory64) {
        put64(s.body, 0, ranges.size());
        put64(s.body, 8, ranges.empty() ? 0 : memoryAt[0]);
        fixups.push_back({index, 8});
      } else {
        put32(s.body, 0, static_cast<uint32_t>(ranges.size()));
      }
      for (size_t i = 0; i < ranges.size(); ++i) {
        const size_t e = (memory64 ? 16 : 4) + 16 * i;
        put64(s.body, e, ranges[i].first.base);
        if (memory64) {
          put64(s.body, e + 8, ranges[i].first.bytes.size());
        } else {
          location(s, e + 8, static_cast<uint32_t>(ranges[i].first.bytes.size()), memoryAt[i]);
        }
      }
      // The threads' stack descriptors point at the same bytes.
      for (size_t i = 0; i < threads.size(); ++i) {
        const size_t e = 4 + 48 * i + 32;
        put32(streams[1 + misc].body, e, static_cast<uint32_t>(threads[i].stack.size()));
        put32(streams[1 + misc].body, e + 4, memoryAt[i]);
        fixups.push_back({1u + misc, e + 4});
      }
    }

    const uint32_t count = static_cast<uint32_t>(streams.size() + unknownStream);
    uint32_t at = 32 + 12 * count;
    std::vector<uint32_t> streamAt;
    for (const Stream& s : streams)
      streamAt.push_back(at), at += static_cast<uint32_t>(s.body.size());
    const uint32_t dataStart = at;
    std::vector<Stream> fixed = streams;
    for (const auto& [index, offset] : fixups) {
      std::string& b = fixed[index].body;
      uint32_t v = 0;
      for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(b[offset + i])) << 8 * i;
      put32(b, offset, v + dataStart);
    }

    std::string out(32 + 12 * count, '\0');
    put32(out, 0, 0x504D444D), put32(out, 4, 0xA793), put32(out, 8, count), put32(out, 12, 32);
    put32(out, 20, 0x5F000000), put64(out, 24, 0x1000);
    for (size_t i = 0; i < streams.size(); ++i) {
      put32(out, 32 + 12 * i, streams[i].type);
      put32(out, 36 + 12 * i, static_cast<uint32_t>(streams[i].body.size()));
      put32(out, 40 + 12 * i, streamAt[i]);
    }
    if (unknownStream)
      put32(out, 32 + 12 * streams.size(), 0x4242),
          put32(out, 36 + 12 * streams.size(), 0xFFFFFFF0),
          put32(out, 40 + 12 * streams.size(), 0xFFFFFF00);
    for (const Stream& s : fixed) out += s.body;
    out += data;
    return out;
  }
};

}  // namespace ostrel::test
