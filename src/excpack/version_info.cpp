// Every node of a version block is: u16 length, u16 value length, u16 type, a zero-ended
// UTF-16 key, padding to 4 bytes, the value (value length in bytes for binary values, in
// characters for text), padding, then the child nodes up to the node's length. Nothing is
// trusted: each node is cut to its parent's bounds and malformed nodes end the search.
#include "excpack/version_info.h"

#include <cctype>
#include <cstdio>

#include "common/format.h"
#include "excpack/exc_pkg_system.h"

namespace ostrel::excpack {

namespace {

uint16_t load16(std::span<const uint8_t> b, std::size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

uint32_t load32(std::span<const uint8_t> b, std::size_t at) {
  return uint32_t(load16(b, at)) | uint32_t(load16(b, at + 2)) << 16;
}

std::size_t align4(std::size_t v) { return (v + 3) & ~std::size_t(3); }

struct Node {
  std::size_t start = 0, end = 0;  // [start, end) of the whole node
  std::u16string key;
  std::span<const uint8_t> value;
  std::size_t childrenStart = 0;
};

// Reads the node at offset within [offset, limit); nullopt when malformed.
std::optional<Node> readNode(std::span<const uint8_t> b, std::size_t offset, std::size_t limit) {
  if (limit > b.size() || offset + 6 > limit) return std::nullopt;
  const std::size_t length = load16(b, offset);
  const std::size_t valueLength = load16(b, offset + 2);
  const uint16_t type = load16(b, offset + 4);
  if (length < 6 || offset + length > limit) return std::nullopt;
  Node n;
  n.start = offset;
  n.end = offset + length;
  std::size_t p = offset + 6;
  for (;;) {
    if (p + 2 > n.end) return std::nullopt;
    const char16_t c = static_cast<char16_t>(load16(b, p));
    p += 2;
    if (c == 0) break;
    n.key.push_back(c);
  }
  p = std::min(align4(p), n.end);
  const std::size_t valueBytes = std::min(type == 1 ? valueLength * 2 : valueLength, n.end - p);
  n.value = b.subspan(p, valueBytes);
  n.childrenStart = std::min(align4(p + valueBytes), n.end);
  return n;
}

bool keyEquals(const std::u16string& key, std::string_view name) {
  if (key.size() != name.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    const char16_t k = key[i];
    if (k > 127) return false;
    if (std::tolower(static_cast<unsigned char>(k)) !=
        std::tolower(static_cast<unsigned char>(name[i])))
      return false;
  }
  return true;
}

std::optional<Node> findChild(std::span<const uint8_t> b, const Node& parent,
                              std::string_view name) {
  std::size_t p = parent.childrenStart;
  while (p + 6 <= parent.end) {
    auto child = readNode(b, p, parent.end);
    if (!child) return std::nullopt;
    if (keyEquals(child->key, name)) return child;
    p = align4(child->end);
  }
  return std::nullopt;
}

constexpr std::string_view kKeyTexts[kVersionTypeCount] = {
    "CompanyName",     "FileDescription",  "FileVersion", "InternalName",   "LegalCopyright",
    "LegalTradeMarks", "OriginalFileName", "ProductName", "ProductVersion", "Comments"};

AppVersionBlock& programBlock() {
  static AppVersionBlock block;
  return block;
}

}  // namespace

std::optional<std::span<const uint8_t>> verQueryValue(std::span<const uint8_t> block,
                                                      std::string_view path) {
  auto node = readNode(block, 0, block.size());
  if (!node) return std::nullopt;
  std::size_t pos = 0;
  while (pos < path.size()) {
    while (pos < path.size() && path[pos] == '\\') ++pos;
    if (pos >= path.size()) break;
    std::size_t end = path.find('\\', pos);
    if (end == std::string_view::npos) end = path.size();
    node = findChild(block, *node, path.substr(pos, end - pos));
    if (!node) return std::nullopt;
    pos = end;
  }
  return node->value;
}

std::optional<std::string> verQueryText(std::span<const uint8_t> block, std::string_view path) {
  auto value = verQueryValue(block, path);
  if (!value) return std::nullopt;
  std::u16string text;
  for (std::size_t i = 0; i + 1 < value->size(); i += 2)
    text.push_back(static_cast<char16_t>((*value)[i] | ((*value)[i + 1] << 8)));
  return utf16ToCp1252(text);
}

std::string_view versionKeyText(TVersionType key) {
  const auto i = static_cast<std::size_t>(key);
  return i < std::size(kKeyTexts) ? kKeyTexts[i] : std::string_view();
}

TrpVersionInfo::TrpVersionInfo() { readVersionBlock(); }

TrpVersionInfo::TrpVersionInfo(std::span<const uint8_t> block) { readFromBlock(block); }

std::string TrpVersionInfo::getValue(TVersionType key) const {
  const auto i = static_cast<std::size_t>(key);
  return i < values_.size() ? values_[i] : std::string();
}

void TrpVersionInfo::readVersionBlock() {
  ExcPkgSystem& system = getExcPkgSystem();
  const std::vector<uint8_t> block = system.versionBlock(system.exePath());
  readFromBlock(block);
}

void TrpVersionInfo::readFromBlock(std::span<const uint8_t> block) {
  for (auto& v : values_) v.clear();
  if (block.empty()) return;
  for (int k = 0; k < kVersionTypeCount; ++k) {
    const std::string path = "StringFileInfo\\040904B0\\" + std::string(kKeyTexts[std::size_t(k)]);
    if (auto text = verQueryText(block, path)) values_[std::size_t(k)] = *text;
  }
}

void TrpVersionInfo::versionInfo(TVersionType key, std::string& text) {
  TrpVersionInfo fresh;
  fresh._versionInfo(key, text);
}

void AppVersionBlock::load(std::string path, std::vector<uint8_t> block) {
  if (path.size() > 260) path.resize(260);
  path_ = std::move(path);
  block_ = std::move(block);
}

void AppVersionBlock::clear() {
  path_.clear();
  block_.clear();
}

std::string AppVersionBlock::value(std::string_view name) const {
  if (!available()) return {};
  auto translation = verQueryValue(block_, "\\VarFileInfo\\Translation");
  if (!translation || translation->size() < 4) return {};
  const uint32_t entry = load32(*translation, 0);
  const uint32_t swapped = (entry << 16) | (entry >> 16);
  char head[32];
  std::snprintf(head, sizeof head, "\\StringFileInfo\\%.8x\\", swapped);
  std::string path = head + std::string(name);
  if (path.size() > 255) path.resize(255);
  return verQueryText(block_, path).value_or(std::string());
}

std::string AppVersionBlock::number(int kind) const {
  if (!available() || kind < 0 || kind > 3) return {};
  auto fixed = verQueryValue(block_, "\\");
  if (!fixed || fixed->size() < 52 || load32(*fixed, 0) != 0xFEEF04BDu) return {};
  const uint32_t ms = load32(*fixed, kind < 2 ? 8 : 16);
  const uint32_t ls = load32(*fixed, kind < 2 ? 12 : 20);
  // Formatted in one go: GCC 12 at -O3 warns falsely (-Wrestrict) on "." + to_string.
  char out[48];
  if (kind == 1 || kind == 3)
    std::snprintf(out, sizeof out, "%u.%u.%u.%u", unsigned(ms >> 16), unsigned(ms & 0xFFFF),
                  unsigned(ls >> 16), unsigned(ls & 0xFFFF));
  else
    std::snprintf(out, sizeof out, "%u.%u", unsigned(ms >> 16), unsigned(ms & 0xFFFF));
  return out;
}

const AppVersionBlock& appVersionBlock() { return programBlock(); }

void loadAppVersionBlock() {
  ExcPkgSystem& system = getExcPkgSystem();
  std::string path = system.exePath();
  std::vector<uint8_t> block = system.versionBlock(path);
  programBlock().load(std::move(path), std::move(block));
}

void freeAppVersionBlock() { programBlock().clear(); }

std::string appVersionValue(std::string_view name) { return programBlock().value(name); }

std::string appVersionNumber(int kind) { return programBlock().number(kind); }

}  // namespace ostrel::excpack
