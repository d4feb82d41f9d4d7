// Writer: strings cut into quoted pieces of 64 characters, binaries as 32 bytes of hex per
// line, lists and collections one entry per line. Reader: a small tokenizer that ignores
// layout (indentation and line breaks only separate tokens), bounded in depth.
#include "excpack/component_text.h"

#include "common/format.h"

#include <cctype>
#include <charconv>

namespace ostrel::excpack {

TextValue TextValue::makeInteger(int64_t v) {
  TextValue t;
  t.kind = Kind::Integer;
  t.integer = v;
  return t;
}

TextValue TextValue::makeString(std::string s) {
  TextValue t;
  t.kind = Kind::String;
  t.text = std::move(s);
  return t;
}

TextValue TextValue::makeIdent(std::string s) {
  TextValue t;
  t.kind = Kind::Ident;
  t.text = std::move(s);
  return t;
}

TextValue TextValue::makeBinary(std::vector<uint8_t> bytes) {
  TextValue t;
  t.kind = Kind::Binary;
  t.binary = std::move(bytes);
  return t;
}

ComponentTextError::ComponentTextError(int line, const std::string& message)
    : std::runtime_error("Line " + std::to_string(line) + ": " + message), line_(line) {}

// ---------------------------------------------------------------------------------------
// Writer

namespace {

constexpr const char* kEol = "\r\n";
constexpr char kHex[] = "0123456789ABCDEF";

void indent(std::string& out, int level) { out.append(std::size_t(2 * level), ' '); }

void writePieces(std::string& out, std::string_view chunk) {
  bool quoted = false;
  for (char c : chunk) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 32 && c != '\'') {
      if (!quoted) out += '\'';
      quoted = true;
      out += c;
    } else {
      if (quoted) out += '\'';
      quoted = false;
      out += '#';
      out += std::to_string(u);
    }
  }
  if (quoted) out += '\'';
}

// level: indentation level of the line the value starts on.
void writeString(std::string& out, std::string_view s, int level) {
  if (s.empty()) {
    out += "''";
    return;
  }
  if (s.size() <= kStringPieceLength) {
    writePieces(out, s);
    return;
  }
  for (std::size_t pos = 0; pos < s.size(); pos += kStringPieceLength) {
    out += pos == 0 ? kEol : " +\r\n";
    indent(out, level + 1);
    writePieces(out, s.substr(pos, kStringPieceLength));
  }
}

void writeValue(std::string& out, const TextValue& v, int level);

void writeProperties(std::string& out, const std::vector<TextProperty>& props, int level) {
  for (const auto& p : props) {
    indent(out, level);
    out += p.name;
    out += " = ";
    writeValue(out, p.value, level);
    out += kEol;
  }
}

void writeValue(std::string& out, const TextValue& v, int level) {
  switch (v.kind) {
    case TextValue::Kind::Integer:
      out += std::to_string(v.integer);
      break;
    case TextValue::Kind::Float:
    case TextValue::Kind::Ident:
      out += v.text;
      break;
    case TextValue::Kind::String:
      writeString(out, v.text, level);
      break;
    case TextValue::Kind::Set:
      out += '[';
      for (std::size_t i = 0; i < v.setItems.size(); ++i) {
        if (i > 0) out += ", ";
        out += v.setItems[i];
      }
      out += ']';
      break;
    case TextValue::Kind::List:
      out += '(';
      for (const auto& item : v.list) {
        out += kEol;
        indent(out, level + 1);
        writeValue(out, item, level + 1);
      }
      out += ')';
      break;
    case TextValue::Kind::Collection:
      out += '<';
      for (const auto& item : v.items) {
        out += kEol;
        indent(out, level + 1);
        out += "item";
        if (item.index) out += " [" + std::to_string(*item.index) + "]";
        out += kEol;
        writeProperties(out, item.properties, level + 2);
        indent(out, level + 1);
        out += "end";
      }
      out += '>';
      break;
    case TextValue::Kind::Binary:
      out += '{';
      for (std::size_t i = 0; i < v.binary.size(); ++i) {
        if (v.binary.size() >= kBinaryBytesPerLine && i % kBinaryBytesPerLine == 0) {
          out += kEol;
          indent(out, level + 1);
        }
        out += kHex[v.binary[i] >> 4];
        out += kHex[v.binary[i] & 15];
      }
      out += '}';
      break;
  }
}

void writeObject(std::string& out, const TextObject& obj, int level) {
  indent(out, level);
  switch (obj.header) {
    case TextObject::Header::Object: out += "object "; break;
    case TextObject::Header::Inherited: out += "inherited "; break;
    case TextObject::Header::Inline: out += "inline "; break;
  }
  if (!obj.name.empty()) out += obj.name + ": ";
  out += obj.className;
  if (obj.position) out += " [" + std::to_string(*obj.position) + "]";
  out += kEol;
  writeProperties(out, obj.properties, level + 1);
  for (const auto& child : obj.children) writeObject(out, child, level + 1);
  indent(out, level);
  out += "end";
  out += kEol;
}

// ---------------------------------------------------------------------------------------
// Reader

bool identStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool identChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  TextObject parseRoot() {
    skipSpace();
    std::string keyword = readIdent("object");
    TextObject root;
    parseObject(root, keyword, 0);
    return root;
  }

 private:
  std::string_view s_;
  std::size_t pos_ = 0;
  int line_ = 1;

  [[noreturn]] void fail(const std::string& message) const { throw ComponentTextError(line_, message); }

  bool atEnd() const { return pos_ >= s_.size(); }
  char peek() const { return atEnd() ? '\0' : s_[pos_]; }

  void skipSpace() {
    while (!atEnd() && static_cast<unsigned char>(s_[pos_]) <= ' ') {
      if (s_[pos_] == '\n') ++line_;
      ++pos_;
    }
  }

  void expect(char c) {
    skipSpace();
    if (peek() != c) fail(std::string("'") + c + "' expected");
    ++pos_;
  }

  std::string readIdent(const char* what) {
    skipSpace();
    if (!identStart(peek())) fail(std::string(what) + " expected");
    const std::size_t start = pos_;
    while (!atEnd() && identChar(s_[pos_])) ++pos_;
    return std::string(s_.substr(start, pos_ - start));
  }

  int64_t readIndex() {
    // after '['
    skipSpace();
    TextValue v = parseNumber();
    if (v.kind != TextValue::Kind::Integer) fail("Integer expected");
    expect(']');
    return v.integer;
  }

  static bool isObjectKeyword(std::string_view w) {
    return sameText(w, "object") || sameText(w, "inherited") || sameText(w, "inline");
  }

  void parseObject(TextObject& obj, const std::string& keyword, int depth) {
    if (depth > kMaxTextDepth) fail("Nesting too deep");
    if (sameText(keyword, "object")) obj.header = TextObject::Header::Object;
    else if (sameText(keyword, "inherited")) obj.header = TextObject::Header::Inherited;
    else if (sameText(keyword, "inline")) obj.header = TextObject::Header::Inline;
    else fail("'object' expected");
    std::string first = readIdent("Class name");
    skipSpace();
    if (peek() == ':') {
      ++pos_;
      obj.name = std::move(first);
      obj.className = readIdent("Class name");
    } else {
      obj.className = std::move(first);
    }
    skipSpace();
    if (peek() == '[') {
      ++pos_;
      obj.position = readIndex();
    }
    for (;;) {
      std::string word = readIdent("Property name or 'end'");
      if (sameText(word, "end")) return;
      if (isObjectKeyword(word)) {
        TextObject child;
        parseObject(child, word, depth + 1);
        obj.children.push_back(std::move(child));
        continue;
      }
      expect('=');
      obj.properties.push_back({std::move(word), parseValue(depth + 1)});
    }
  }

  TextValue parseValue(int depth) {
    if (depth > kMaxTextDepth) fail("Nesting too deep");
    skipSpace();
    const char c = peek();
    if (c == '\'' || c == '#') return parseString();
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '$')
      return parseNumber();
    if (identStart(c)) return TextValue::makeIdent(readIdent("Identifier"));
    ++pos_;
    switch (c) {
      case '[': return parseSet();
      case '(': return parseList(depth);
      case '<': return parseCollection(depth);
      case '{': return parseBinary();
      default: break;
    }
    --pos_;
    fail(atEnd() ? "Unexpected end of text" : "Invalid property value");
  }

  // One run of quoted text and #nn characters, then more runs after '+'.
  TextValue parseString() {
    std::string out;
    for (;;) {
      skipSpace();
      bool any = false;
      for (;;) {
        const char c = peek();
        if (c == '\'') {
          ++pos_;
          for (;;) {
            if (atEnd() || s_[pos_] == '\n' || s_[pos_] == '\r') fail("Unterminated string");
            if (s_[pos_] == '\'') {
              if (pos_ + 1 < s_.size() && s_[pos_ + 1] == '\'') {
                out += '\'';
                pos_ += 2;
                continue;
              }
              ++pos_;
              break;
            }
            out += s_[pos_++];
          }
          any = true;
        } else if (c == '#') {
          ++pos_;
          out += static_cast<char>(readCharCode());
          any = true;
        } else {
          break;
        }
      }
      if (!any) fail("String expected");
      skipSpace();
      if (peek() != '+') break;
      ++pos_;
    }
    return TextValue::makeString(std::move(out));
  }

  uint8_t readCharCode() {
    uint32_t v = 0;
    bool hex = false;
    if (peek() == '$') {
      hex = true;
      ++pos_;
    }
    const std::size_t start = pos_;
    while (!atEnd()) {
      const char c = s_[pos_];
      const int d = hex ? hexValue(c) : (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : -1);
      if (d < 0) break;
      v = v * (hex ? 16 : 10) + uint32_t(d);
      if (v > 255) fail("Character code out of range");
      ++pos_;
    }
    if (pos_ == start) fail("Character code expected");
    return static_cast<uint8_t>(v);
  }

  TextValue parseNumber() {
    const std::size_t start = pos_;
    bool negative = false;
    if (peek() == '-' || peek() == '+') {
      negative = peek() == '-';
      ++pos_;
    }
    if (peek() == '$') {
      ++pos_;
      uint64_t v = 0;
      const std::size_t digits = pos_;
      while (!atEnd() && hexValue(s_[pos_]) >= 0) {
        if (v > (UINT64_MAX >> 4)) fail("Number out of range");
        v = (v << 4) | uint64_t(hexValue(s_[pos_++]));
      }
      if (pos_ == digits) fail("Number expected");
      // Hexadecimal constants are bit patterns: $FFFFFFFF is -1 as a 32-bit integer.
      int64_t value = v <= 0xFFFFFFFFu ? int64_t(int32_t(uint32_t(v))) : int64_t(v);
      return TextValue::makeInteger(negative ? -value : value);
    }
    const std::size_t digits = pos_;
    while (!atEnd() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    if (pos_ == digits) fail("Number expected");
    bool isFloat = false;
    if (peek() == '.') {
      isFloat = true;
      ++pos_;
      while (!atEnd() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    if (peek() == 'e' || peek() == 'E') {
      isFloat = true;
      ++pos_;
      if (peek() == '-' || peek() == '+') ++pos_;
      const std::size_t exp = pos_;
      while (!atEnd() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
      if (pos_ == exp) fail("Invalid number");
    }
    if (isFloat) {
      if (peek() == 's' || peek() == 'c' || peek() == 'd' || peek() == 'S' || peek() == 'C' ||
          peek() == 'D')
        ++pos_;
      TextValue v;
      v.kind = TextValue::Kind::Float;
      v.text = std::string(s_.substr(start, pos_ - start));
      return v;
    }
    int64_t value = 0;
    const char* b = s_.data() + digits;
    const char* e = s_.data() + pos_;
    // Parse the magnitude as unsigned so that the most negative value is accepted.
    uint64_t mag = 0;
    auto r = std::from_chars(b, e, mag);
    if (r.ec != std::errc() || mag > (negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX)))
      fail("Number out of range");
    value = negative ? int64_t(0 - mag) : int64_t(mag);
    return TextValue::makeInteger(value);
  }

  TextValue parseSet() {
    TextValue v;
    v.kind = TextValue::Kind::Set;
    skipSpace();
    if (peek() == ']') {
      ++pos_;
      return v;
    }
    for (;;) {
      v.setItems.push_back(readIdent("Identifier"));
      skipSpace();
      if (peek() == ']') {
        ++pos_;
        return v;
      }
      expect(',');
    }
  }

  TextValue parseList(int depth) {
    TextValue v;
    v.kind = TextValue::Kind::List;
    for (;;) {
      skipSpace();
      if (peek() == ')') {
        ++pos_;
        return v;
      }
      v.list.push_back(parseValue(depth + 1));
    }
  }

  TextValue parseCollection(int depth) {
    TextValue v;
    v.kind = TextValue::Kind::Collection;
    for (;;) {
      skipSpace();
      if (peek() == '>') {
        ++pos_;
        return v;
      }
      std::string word = readIdent("'item'");
      if (!sameText(word, "item")) fail("'item' expected");
      CollectionItem item;
      skipSpace();
      if (peek() == '[') {
        ++pos_;
        item.index = readIndex();
      }
      for (;;) {
        std::string name = readIdent("Property name or 'end'");
        if (sameText(name, "end")) break;
        expect('=');
        item.properties.push_back({std::move(name), parseValue(depth + 1)});
      }
      v.items.push_back(std::move(item));
    }
  }

  TextValue parseBinary() {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (;;) {
      skipSpace();
      if (atEnd()) fail("Unterminated binary value");
      const char c = s_[pos_++];
      if (c == '}') break;
      const int d = hexValue(c);
      if (d < 0) fail("Invalid binary value");
      if (high < 0) {
        high = d;
      } else {
        bytes.push_back(static_cast<uint8_t>(high * 16 + d));
        high = -1;
      }
    }
    if (high >= 0) fail("Odd number of hexadecimal digits");
    return TextValue::makeBinary(std::move(bytes));
  }
};

}  // namespace

std::string writeComponentText(const TextObject& root) {
  std::string out;
  writeObject(out, root, 0);
  return out;
}

TextObject parseComponentText(std::string_view text) { return Parser(text).parseRoot(); }

}  // namespace ostrel::excpack
