// Where the bytes of a dump come from: a file read piece by piece through a small cache
// (dumps of whole processes run to hundreds of megabytes), or bytes held in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace ostrel {

/// Random access to the bytes of one dump. Not for use by two threads at once.
class DumpSource {
 public:
  virtual ~DumpSource() = default;
  /// The number of bytes the dump holds.
  virtual uint64_t size() const = 0;
  /// Copies exactly n bytes from offset into out; false (out partly written) when any of
  /// them lies past the end or cannot be read. Throws only std::bad_alloc.
  virtual bool read(uint64_t offset, void* out, size_t n) = 0;
};

/// A dump held in memory (tests, fuzzing, small dumps).
class DumpBytes : public DumpSource {
 public:
  explicit DumpBytes(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  bool read(uint64_t offset, void* out, size_t n) override;

 private:
  std::string bytes_;
};

/// A dump file, read on demand in blocks; the most recently used blocks are kept.
class DumpFile : public DumpSource {
 public:
  static constexpr uint32_t kBlockSize = 64 * 1024;
  static constexpr size_t kCachedBlocks = 64;

  /// The file opened for reading; nullptr with error set ("cannot open FILE") otherwise.
  static std::unique_ptr<DumpFile> open(const std::string& path, std::string& error);
  ~DumpFile() override;
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;

  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, size_t n) override;

 private:
  struct Block {
    uint64_t index = UINT64_MAX;
    uint64_t lastUse = 0;
    uint32_t length = 0;
    std::vector<char> bytes;
  };
  DumpFile(std::FILE* file, uint64_t size) : file_(file), size_(size) {}
  const Block* block(uint64_t index);

  std::FILE* file_;
  uint64_t size_;
  uint64_t uses_ = 0;
  std::vector<Block> blocks_;
};

}  // namespace ostrel
