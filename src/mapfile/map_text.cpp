#include "mapfile/map_text.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ostrel {

std::string_view TMapText::at(size_t i) const {
  if (i >= lines_.size()) throw std::out_of_range("map text: line index past the end");
  return (*this)[i];
}

void TMapText::setText(std::string text) {
  if (text.size() >= std::numeric_limits<uint32_t>::max())
    throw std::length_error("map text: too large");
  std::vector<Bounds> lines;
  // A rough guess of the line count avoids most regrowth on big maps.
  lines.reserve(text.size() / 48 + 1);
  const char* data = text.data();
  const size_t size = text.size();
  size_t pos = 0;
  while (pos < size) {
    size_t start = pos;
    while (pos < size && data[pos] != '\n' && data[pos] != '\r') ++pos;
    lines.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(pos)});
    if (pos < size && data[pos] == '\r') ++pos;
    if (pos < size && data[pos] == '\n') ++pos;
  }
  lines.shrink_to_fit();
  buffer_ = std::move(text);
  lines_ = std::move(lines);
}

bool TMapText::loadFromFile(const std::string& path) {
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::string text;
  // Read in chunks rather than trusting a size taken before the read: the file may be
  // a pipe or change under us.
  char chunk[1 << 16];
  if (std::fseek(file.get(), 0, SEEK_END) == 0) {
    long size = std::ftell(file.get());
    if (size > 0 && static_cast<unsigned long>(size) < std::numeric_limits<uint32_t>::max())
      text.reserve(static_cast<size_t>(size));
    std::rewind(file.get());
  }
  for (;;) {
    size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
    if (got > 0) {
      if (text.size() + got >= std::numeric_limits<uint32_t>::max()) return false;
      text.append(chunk, got);
    }
    if (got < sizeof chunk) {
      if (std::ferror(file.get())) return false;
      break;
    }
  }
  setText(std::move(text));
  return true;
}

namespace {

// The first CR or LF in data[pos, end), or end. Every line of a map passes here, most of
// them short: one pass over 16 bytes at a time where the processor has it, else the first
// LF and then any CR before it (two library scans beat one loop over bytes).
size_t firstLineBreak(const char* data, size_t pos, size_t end) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  for (; pos + 16 <= end; pos += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
    const int found =
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, cr)));
    if (found != 0) return pos + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(found)));
  }
  while (pos < end && data[pos] != '\n' && data[pos] != '\r') ++pos;
  return pos;
#else
  const void* lf = std::memchr(data + pos, '\n', end - pos);
  const size_t lfAt = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) : end;
  const void* cr = std::memchr(data + pos, '\r', lfAt - pos);
  return cr ? static_cast<size_t>(static_cast<const char*>(cr) - data) : lfAt;
#endif
}

}  // namespace

bool MapFileCursor::open(const std::string& path) {
  file_.reset(std::fopen(path.c_str(), "rb"));
  atEnd_ = true;
  return file_ != nullptr;
}

void MapFileCursor::rewind() {
  if (!restart(0) && file_) throw std::runtime_error("map file: cannot seek");
}

bool MapFileCursor::seek(uint64_t mark) { return file_ && restart(mark); }

bool MapFileCursor::restart(uint64_t offset) {
  if (!file_) {
    atEnd_ = true;
    return true;
  }
  std::clearerr(file_.get());
  // fseek takes a long, 32 bits on Windows: a farther line is reached by reading.
  if (offset > static_cast<uint64_t>(std::numeric_limits<long>::max()) ||
      std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET) != 0)
    return false;
  if (buffer_.empty()) buffer_.resize(size_t{1} << 20);
  bufferStart_ = offset;
  next_ = filled_ = 0;
  endOfFile_ = false;
  atEnd_ = false;
  advance();
  return true;
}

bool MapFileCursor::readMore() {
  if (endOfFile_) return false;
  const size_t unread = filled_ - next_;
  if (next_ > 0 && unread > 0) std::memmove(buffer_.data(), buffer_.data() + next_, unread);
  bufferStart_ += next_;
  next_ = 0;
  filled_ = unread;
  if (filled_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);  // one very long line
  const size_t got = std::fread(buffer_.data() + filled_, 1, buffer_.size() - filled_, file_.get());
  filled_ += got;
  if (got < buffer_.size() - unread) {
    if (std::ferror(file_.get())) throw std::runtime_error("map file: read error");
    endOfFile_ = true;
  }
  return got > 0;
}

void MapFileCursor::advance() {
  if (atEnd_) return;
  size_t scanned = 0;  // bytes past next_ known to hold no line break
  for (;;) {
    const char* data = buffer_.data();
    size_t pos = firstLineBreak(data, next_ + scanned, filled_);
    // A CR at the end of what was read may be the first half of a CR LF.
    if (pos < filled_ && !(data[pos] == '\r' && pos + 1 == filled_ && !endOfFile_)) {
      lineBegin_ = next_;
      lineEnd_ = pos;
      next_ = pos + 1;
      if (data[pos] == '\r' && next_ < filled_ && data[next_] == '\n') ++next_;
      return;
    }
    if (pos >= filled_ && endOfFile_) {
      // The last line, without a break; none when the text ended with one.
      if (next_ < filled_) {
        lineBegin_ = next_;
        lineEnd_ = filled_;
        next_ = filled_;
      } else {
        atEnd_ = true;
      }
      return;
    }
    scanned = pos - next_;
    readMore();
  }
}

void TMapText::clear() {
  buffer_.clear();
  buffer_.shrink_to_fit();
  lines_.clear();
  lines_.shrink_to_fit();
}

}  // namespace ostrel
