// The component text form: nested "object ... end" blocks of property lines, as written by
// the class library's component streaming. This layer is generic (it reads and writes every
// value kind of that form); the package classes map themselves onto it.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::excpack {

struct TextProperty;

/// One "item ... end" of a collection value.
struct CollectionItem {
  std::optional<int64_t> index;  // "item [n]"
  std::vector<TextProperty> properties;
};

struct TextValue {
  enum class Kind { Integer, Float, String, Ident, Set, List, Collection, Binary };
  Kind kind = Kind::Integer;
  int64_t integer = 0;
  /// String: the 8-bit characters; Ident: the identifier; Float: the number as written.
  std::string text;
  std::vector<std::string> setItems;
  std::vector<TextValue> list;
  std::vector<CollectionItem> items;
  std::vector<uint8_t> binary;

  static TextValue makeInteger(int64_t v);
  static TextValue makeString(std::string s);
  static TextValue makeIdent(std::string s);
  static TextValue makeBinary(std::vector<uint8_t> bytes);
};

struct TextProperty {
  std::string name;
  TextValue value;
};

struct TextObject {
  enum class Header { Object, Inherited, Inline };
  Header header = Header::Object;
  std::string name;
  std::string className;
  std::optional<int64_t> position;  // "[n]" after the class name
  std::vector<TextProperty> properties;
  std::vector<TextObject> children;
};

/// A syntax error of the text form; what() names the line.
class ComponentTextError : public std::runtime_error {
 public:
  ComponentTextError(int line, const std::string& message);
  int line() const { return line_; }

 private:
  int line_;
};

/// The text form with CR LF line ends, including after the last "end".
std::string writeComponentText(const TextObject& root);

/// Reads the first object block of the text; what follows it is ignored. Throws
/// ComponentTextError on any syntax error. Nesting deeper than kMaxTextDepth is an error.
TextObject parseComponentText(std::string_view text);

inline constexpr int kMaxTextDepth = 200;
inline constexpr std::size_t kStringPieceLength = 64;
inline constexpr std::size_t kBinaryBytesPerLine = 32;

}  // namespace ostrel::excpack
