#include "minidump/dump_source.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

namespace {

bool seekTo(std::FILE* file, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

}  // namespace

bool DumpBytes::read(uint64_t offset, void* out, size_t n) {
  if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
  if (n != 0) std::memcpy(out, bytes_.data() + offset, n);
  return true;
}

std::unique_ptr<DumpFile> DumpFile::open(const std::string& path, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot open " + path;
    return nullptr;
  }
  bool ok = false;
  uint64_t size = 0;
#ifdef _WIN32
  if (_fseeki64(file, 0, SEEK_END) == 0) {
    const long long end = _ftelli64(file);
    ok = end >= 0, size = static_cast<uint64_t>(end);
  }
#else
  if (fseeko(file, 0, SEEK_END) == 0) {
    const off_t end = ftello(file);
    ok = end >= 0, size = static_cast<uint64_t>(end);
  }
#endif
  if (!ok) {
    std::fclose(file);
    error = "cannot read " + path;
    return nullptr;
  }
  return std::unique_ptr<DumpFile>(new DumpFile(file, size));
}

DumpFile::~DumpFile() { std::fclose(file_); }

const DumpFile::Block* DumpFile::block(uint64_t index) {
  ++uses_;
  for (Block& b : blocks_)
    if (b.index == index) {
      b.lastUse = uses_;
      return &b;
    }
  Block* slot = nullptr;
  if (blocks_.size() < kCachedBlocks) {
    slot = &blocks_.emplace_back();
    slot->bytes.resize(kBlockSize);
  } else {
    slot = &*std::min_element(blocks_.begin(), blocks_.end(),
                              [](const Block& a, const Block& b) { return a.lastUse < b.lastUse; });
  }
  const uint64_t start = index * kBlockSize;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlockSize, size_ - start));
  slot->index = UINT64_MAX;
  if (!seekTo(file_, start) || std::fread(slot->bytes.data(), 1, want, file_) != want)
    return nullptr;
  slot->index = index;
  slot->length = static_cast<uint32_t>(want);
  slot->lastUse = uses_;
  return slot;
}

bool DumpFile::read(uint64_t offset, void* out, size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  char* to = static_cast<char*>(out);
  while (n != 0) {
    const Block* b = block(offset / kBlockSize);
    const uint32_t within = static_cast<uint32_t>(offset % kBlockSize);
    if (b == nullptr || within >= b->length) return false;
    const size_t take = std::min<size_t>(n, b->length - within);
    std::memcpy(to, b->bytes.data() + within, take);
    to += take, offset += take, n -= take;
  }
  return true;
}

}  // namespace ostrel
