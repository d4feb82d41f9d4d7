// A minidump read from any writer: its header, stream directory and the streams that
// describe a crashed or snapshotted process. Every offset, size and count in the file is
// checked before it is used; a damaged dump is refused with what is wrong and where.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "minidump/dump_source.h"

namespace ostrel {

/// Stream types of the directory that the reader understands; others are skipped.
enum DumpStreamType : uint32_t {
  kDumpThreadList = 3,
  kDumpModuleList = 4,
  kDumpMemoryList = 5,
  kDumpException = 6,
  kDumpSystemInfo = 7,
  kDumpMemory64List = 9,
  kDumpMiscInfo = 15,
};

/// Where a piece of data lies in the file.
struct DumpLocation {
  uint32_t size = 0;
  uint32_t rva = 0;
};

struct DumpDirectoryEntry {
  uint32_t type = 0;
  DumpLocation location;
};

struct DumpSystemInfo {
  uint16_t processorArchitecture = 0;  // 0: x86, 9: x64, 12: ARM64
  uint16_t processorLevel = 0;
  uint16_t processorRevision = 0;
  uint8_t numberOfProcessors = 0;
  uint8_t productType = 0;
  uint32_t majorVersion = 0;
  uint32_t minorVersion = 0;
  uint32_t buildNumber = 0;
  uint32_t platformId = 0;
  std::string csdVersion;  // service pack text, UTF-8; empty when there is none
};

struct DumpMiscInfo {
  uint32_t flags = 0;
  bool hasProcessId = false;
  uint32_t processId = 0;
  bool hasProcessTimes = false;
  uint32_t processCreateTime = 0;  // seconds since 1970 (UTC)
  uint32_t processUserTime = 0;    // seconds
  uint32_t processKernelTime = 0;  // seconds
};

/// A thread context as recorded. The x86 registers are filled when the record is an x86
/// context (its flags carry 0x10000 and it holds at least the 204-byte register part).
struct DumpContext {
  DumpLocation location;
  std::vector<uint8_t> bytes;  // the record as stored
  bool isX86 = false;
  uint32_t eip = 0;
  uint32_t esp = 0;
  uint32_t ebp = 0;
};

/// A block of the process's memory saved in the dump.
struct DumpMemoryRange {
  uint64_t base = 0;
  uint64_t size = 0;
  uint64_t fileOffset = 0;
};

struct DumpThread {
  uint32_t id = 0;
  uint32_t suspendCount = 0;
  uint32_t priorityClass = 0;
  uint32_t priority = 0;
  uint64_t teb = 0;
  DumpMemoryRange stack;  // size 0 when the writer saved no stack
  DumpContext context;
};

struct DumpModule {
  uint64_t base = 0;
  uint32_t size = 0;
  uint32_t checksum = 0;
  uint32_t timestamp = 0;
  std::string name;         // the recorded path, UTF-8
  bool hasVersion = false;  // the fixed file information carries its signature
  uint32_t fileVersionMS = 0, fileVersionLS = 0;
  uint32_t productVersionMS = 0, productVersionLS = 0;
  DumpLocation codeViewLocation;
  std::vector<uint8_t> codeView;  // the CodeView record ("RSDS" or "NB10" ...), as stored

  uint64_t end() const { return base + size; }
};

struct DumpException {
  uint32_t threadId = 0;
  uint32_t code = 0;
  uint32_t flags = 0;
  uint64_t record = 0;  // address of a nested exception record
  uint64_t address = 0;
  std::vector<uint64_t> parameters;  // at most 15
  DumpContext context;
};

/// A parsed dump. The memory ranges are read from the source on demand.
class Minidump {
 public:
  // Caps on counts and sizes no sane dump exceeds; larger values are refused as damage
  // before anything is allocated for them.
  static constexpr uint32_t kMaxStreams = 4096;
  static constexpr uint32_t kMaxThreads = 1u << 16;
  static constexpr uint32_t kMaxModules = 1u << 16;
  static constexpr uint64_t kMaxMemoryRanges = 1u << 22;
  static constexpr uint32_t kMaxStringBytes = 64 * 1024;
  static constexpr uint32_t kMaxCodeViewBytes = 64 * 1024;
  static constexpr uint32_t kMaxContextBytes = 64 * 1024;

  /// Parses the dump the source holds. On failure returns nullptr and sets error to what
  /// is wrong and where ("module list: entry 3 name at offset 0x1234 lies past the end of
  /// the file (4096 bytes)"). Throws only std::bad_alloc.
  static std::unique_ptr<Minidump> parse(std::unique_ptr<DumpSource> source, std::string& error);
  /// The file at path, parsed; nullptr with error set when it cannot be read or is damaged.
  static std::unique_ptr<Minidump> open(const std::string& path, std::string& error);

  uint32_t version = 0;  // the header's version field (its low half is 0xA793)
  uint32_t timestamp = 0;
  uint64_t flags = 0;  // the kind of dump the writer was asked for
  std::vector<DumpDirectoryEntry> directory;

  bool hasSystemInfo = false;
  DumpSystemInfo systemInfo;
  bool hasMiscInfo = false;
  DumpMiscInfo miscInfo;
  std::vector<DumpThread> threads;
  std::vector<DumpModule> modules;  // in the dump's order
  bool hasException = false;
  DumpException exception;
  /// Every saved range of both memory lists, by base address; they do not overlap (memory
  /// the writer saved twice is here once).
  std::vector<DumpMemoryRange> memory;

  /// The thread with that id; nullptr when there is none.
  const DumpThread* thread(uint32_t id) const;
  /// The module whose image holds address; nullptr when none does.
  const DumpModule* moduleAt(uint64_t address) const;

  /// Copies up to n bytes of the process's memory from address on: the run that saved
  /// ranges hold without a gap. Returns how many were copied (0 when none holds address or
  /// the file cannot be read there).
  uint32_t readMemory(uint64_t address, void* out, uint32_t n);

 private:
  std::unique_ptr<DumpSource> source_;
};

}  // namespace ostrel
