// The text of a map file held in memory as one buffer plus the bounds of each line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

/// A list of lines over one buffer: a 100 MB map costs little more than its size.
/// Lines end at CR LF, LF or a lone CR; a final line break adds no empty line.
class TMapText {
 public:
  /// Number of lines.
  size_t count() const { return lines_.size(); }
  bool empty() const { return lines_.empty(); }
  /// Line i without its line break; i must be below count().
  std::string_view operator[](size_t i) const {
    return std::string_view(buffer_.data() + lines_[i].begin, lines_[i].end - lines_[i].begin);
  }
  /// Line i; throws std::out_of_range past the last line.
  std::string_view at(size_t i) const;

  /// Replaces the lines with those of the given text. Texts of 4 GiB or more are refused
  /// (std::length_error) and leave the lines unchanged.
  void setText(std::string text);
  /// Replaces the lines with those of the file. False, with the lines unchanged, when the
  /// file cannot be opened or read in full.
  bool loadFromFile(const std::string& path);
  void clear();

 private:
  struct Bounds {
    uint32_t begin;
    uint32_t end;
  };
  std::string buffer_;
  std::vector<Bounds> lines_;
};

}  // namespace ostrel
