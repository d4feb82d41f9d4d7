#include "mapfile/map_text.h"

#include <cstdio>
#include <limits>
#include <memory>
#include <stdexcept>

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

void TMapText::clear() {
  buffer_.clear();
  buffer_.shrink_to_fit();
  lines_.clear();
  lines_.shrink_to_fit();
}

}  // namespace ostrel
