// The text of a map file held in memory as one buffer plus the bounds of each line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
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

/// The lines of a map read front to back, as the parser's passes read them; each pass
/// starts again at the first line. Lines end as in TMapText.
class MapLineCursor {
 public:
  virtual ~MapLineCursor() = default;
  /// Back to the first line.
  virtual void rewind() = 0;
  /// True past the last line.
  virtual bool atEnd() const = 0;
  /// The current line without its break; valid until the next advance() or rewind().
  virtual std::string_view line() const = 0;
  /// The next line; nothing past the end.
  virtual void advance() = 0;
  /// Where the current line lies, for seek(); only meaningful while not at the end.
  virtual uint64_t mark() const = 0;
  /// Back (or on) to the line a mark() of this cursor gave, as if the lines had been
  /// advanced through from the first. False when it cannot: rewind() then.
  virtual bool seek(uint64_t mark) = 0;
};

/// The lines of a TMapText.
class MapTextCursor final : public MapLineCursor {
 public:
  explicit MapTextCursor(const TMapText& text) : text_(text) {}
  void rewind() override { i_ = 0; }
  bool atEnd() const override { return i_ >= text_.count(); }
  std::string_view line() const override { return text_[i_]; }
  void advance() override {
    if (i_ < text_.count()) ++i_;
  }
  uint64_t mark() const override { return i_; }
  bool seek(uint64_t mark) override {
    i_ = static_cast<size_t>(mark);
    return true;
  }

 private:
  const TMapText& text_;
  size_t i_ = 0;
};

/// The lines of a file read in blocks: only a block or so is held at any time, so a big
/// map is parsed without holding its text. A read error throws std::runtime_error.
class MapFileCursor final : public MapLineCursor {
 public:
  /// False when the file cannot be opened.
  bool open(const std::string& path);
  void rewind() override;
  bool atEnd() const override { return atEnd_; }
  std::string_view line() const override {
    return std::string_view(buffer_.data() + lineBegin_, lineEnd_ - lineBegin_);
  }
  void advance() override;
  /// The file offset of the current line.
  uint64_t mark() const override { return bufferStart_ + lineBegin_; }
  bool seek(uint64_t mark) override;

 private:
  // Reads from `offset` on, lines starting there; false when the file cannot seek there.
  bool restart(uint64_t offset);
  // Moves the unread bytes to the front and reads more behind them; false at the end.
  bool readMore();

  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  std::vector<char> buffer_;
  uint64_t bufferStart_ = 0;  // file offset of the buffer's first byte
  size_t next_ = 0;   // first unread byte
  size_t filled_ = 0;  // bytes in the buffer
  bool endOfFile_ = false;
  bool atEnd_ = true;
  size_t lineBegin_ = 0;
  size_t lineEnd_ = 0;
};

}  // namespace ostrel
