#include "mapfile/map_tokens.h"

namespace ostrel {

namespace map_tokens_detail {

bool tryReadHexLong(std::string_view text, uint32_t& value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    const uint8_t d = kHexValue.v[static_cast<unsigned char>(c)];
    if (d > 15) return false;
    v = v * 16 + d;
    if (v > 0xFFFFFFFFull) return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

bool tryReadDecimalSigned(std::string_view text, int32_t& value) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 0x80000000ll) return false;
  }
  if (negative) v = -v;
  if (v > 0x7FFFFFFFll) return false;
  value = static_cast<int32_t>(v);
  return true;
}

void throwNotHex() { throw MapFormatError("not a hexadecimal number"); }
void throwNotDecimal() { throw MapFormatError("not a decimal number"); }

}  // namespace map_tokens_detail

std::string_view trimText(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}

namespace {
char lowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
}  // namespace

std::string lowerText(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lowerChar(c);
  return out;
}

std::string_view unitNameFromHeader(std::string_view line) {
  size_t close = line.find(')');
  if (close == std::string_view::npos) return {};
  size_t dot = line.rfind('.', close);
  if (dot == std::string_view::npos || dot == 0) return {};
  size_t open = line.find_last_of("(\\", dot - 1);
  if (open == std::string_view::npos) return {};
  return line.substr(open + 1, dot - open - 1);
}

bool isPublicsByValueHeader(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  line.remove_prefix(i);
  constexpr std::string_view kAddress = "Address";
  constexpr std::string_view kPublics = "Publics by Value";
  if (line.size() < kAddress.size() || !sameText(line.substr(0, kAddress.size()), kAddress))
    return false;
  line.remove_prefix(kAddress.size());
  size_t spaces = 0;
  while (spaces < line.size() && line[spaces] == ' ') ++spaces;
  if (spaces == 0) return false;
  return sameText(line.substr(spaces), kPublics);
}

std::string mapFileNameFor(std::string_view programPath) {
  size_t nameStart = programPath.find_last_of("\\/:");
  nameStart = nameStart == std::string_view::npos ? 0 : nameStart + 1;
  size_t dot = programPath.rfind('.');
  if (dot == std::string_view::npos || dot < nameStart)
    return std::string(programPath) + ".map";
  return std::string(programPath.substr(0, dot)) + ".map";
}

std::string hexNoZeros(uint32_t value) {
  static const char digits[] = "0123456789ABCDEF";
  char buf[8];
  int n = 0;
  do {
    buf[n++] = digits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  std::string out;
  while (n > 0) out.push_back(buf[--n]);
  return out;
}

}  // namespace ostrel
