// Readers of a version block (the VS_VERSIONINFO resource as GetFileVersionInfo returns it):
// a bounded query over the raw bytes, the component TrpVersionInfo with its ten fixed-language
// values, and the program-wide second reader that follows the translation list.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "excpack/component.h"

namespace ostrel::excpack {

/// Raw value of a query path such as "\VarFileInfo\Translation" or "\" for the fixed
/// information (keys compare without regard to case). nullopt when a node is missing or
/// the block is malformed. The span points into block.
std::optional<std::span<const uint8_t>> verQueryValue(std::span<const uint8_t> block,
                                                      std::string_view path);
/// The query's value as text (UTF-16 up to its first zero, in the ANSI code page).
std::optional<std::string> verQueryText(std::span<const uint8_t> block, std::string_view path);

enum class TVersionType {
  vtCompanyName,
  vtFileDescription,
  vtFileVersion,
  vtInternalName,
  vtLegalCopyright,
  vtLegalTradeMarks,
  vtOriginalFileName,
  vtProductName,
  vtProductVersion,
  vtComments,
};
inline constexpr int kVersionTypeCount = 10;

/// The key text: the enumeration name without "vt" ("LegalTradeMarks", "OriginalFileName").
std::string_view versionKeyText(TVersionType key);

class TrpVersionInfo : public TComponent {
 public:
  /// Reads the running program's own version block.
  TrpVersionInfo();
  /// Reads the given block (another program's, or a test's).
  explicit TrpVersionInfo(std::span<const uint8_t> block);

  std::string_view ClassName() const override { return "TrpVersionInfo"; }

  virtual std::string getValue(TVersionType key) const;
  /// Fills the ten values from the program's own block (all empty when it has none).
  virtual void readVersionBlock();

  void _versionInfo(TVersionType key, std::string& text) const { text = getValue(key); }
  /// The value of a fresh instance, which reads the block anew.
  static void versionInfo(TVersionType key, std::string& text);

  std::string CompanyName() const { return getValue(TVersionType::vtCompanyName); }
  std::string FileDescription() const { return getValue(TVersionType::vtFileDescription); }
  std::string FileVersion() const { return getValue(TVersionType::vtFileVersion); }
  std::string InternalName() const { return getValue(TVersionType::vtInternalName); }
  std::string LegalCopyright() const { return getValue(TVersionType::vtLegalCopyright); }
  std::string LegalTradeMarks() const { return getValue(TVersionType::vtLegalTradeMarks); }
  std::string OriginalFileName() const { return getValue(TVersionType::vtOriginalFileName); }
  std::string ProductName() const { return getValue(TVersionType::vtProductName); }
  std::string ProductVersion() const { return getValue(TVersionType::vtProductVersion); }
  std::string Comments() const { return getValue(TVersionType::vtComments); }

 protected:
  void readFromBlock(std::span<const uint8_t> block);

 private:
  std::array<std::string, kVersionTypeCount> values_;
};

/// The second reader: one version block kept with the path it came from.
class AppVersionBlock {
 public:
  /// The path is cut to 260 characters; the block is available when it is not empty.
  void load(std::string path, std::vector<uint8_t> block);
  void clear();
  bool available() const { return !block_.empty(); }
  const std::string& path() const { return path_; }

  /// A string of the first translation's table, empty when there is none.
  std::string value(std::string_view name) const;
  /// Kind 0 "a.b", 1 "a.b.c.d" of the file version; 2 and 3 the same of the product
  /// version; empty for other kinds or without fixed information.
  std::string number(int kind) const;

 private:
  std::string path_;
  std::vector<uint8_t> block_;
};

/// Program start: loads the running program's own block into the program-wide reader.
void loadAppVersionBlock();
/// Program end.
void freeAppVersionBlock();
std::string appVersionValue(std::string_view name);
std::string appVersionNumber(int kind);
/// The program-wide reader itself.
const AppVersionBlock& appVersionBlock();

}  // namespace ostrel::excpack
