#include <gtest/gtest.h>

#include "excpack/global_exc_pkg_types.h"
#include "excpack/version_info.h"
#include "fake_exc_system.h"

namespace ostrel::excpack {
namespace {

using Bytes = std::vector<uint8_t>;

// A version block node, assembled the way resource compilers lay it out.
struct VNode {
  std::string key;
  uint16_t type = 1;
  uint16_t valueLength = 0;
  Bytes value;
  std::vector<VNode> children;
};

void put16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

void put32(Bytes& b, uint32_t v) {
  put16(b, uint16_t(v));
  put16(b, uint16_t(v >> 16));
}

void pad4(Bytes& b) {
  while (b.size() % 4) b.push_back(0);
}

Bytes build(const VNode& n) {
  Bytes b;
  put16(b, 0);
  put16(b, n.valueLength);
  put16(b, n.type);
  for (char c : n.key) put16(b, uint16_t(uint8_t(c)));
  put16(b, 0);
  pad4(b);
  b.insert(b.end(), n.value.begin(), n.value.end());
  for (const auto& child : n.children) {
    pad4(b);
    Bytes cb = build(child);
    b.insert(b.end(), cb.begin(), cb.end());
  }
  b[0] = uint8_t(b.size());
  b[1] = uint8_t(b.size() >> 8);
  return b;
}

VNode text(const std::string& key, const std::string& value) {
  VNode n{key, 1, uint16_t(value.size() + 1), {}, {}};
  for (char c : value) put16(n.value, uint16_t(uint8_t(c)));
  put16(n.value, 0);
  return n;
}

Bytes versionBlock(const std::string& table, uint32_t translation,
                   const std::vector<VNode>& strings, uint32_t fileMs = 0x00010000,
                   uint32_t fileLs = 0x000000BF) {
  VNode root{"VS_VERSION_INFO", 0, 52, {}, {}};
  const uint32_t fixed[13] = {0xFEEF04BD, 0x00010000, fileMs, fileLs, 0x00020003, 0x00040005, 0x3F,
                              0,          4,          1,      0,      0,          0};
  for (uint32_t v : fixed) put32(root.value, v);
  VNode sfi{"StringFileInfo", 1, 0, {}, {VNode{table, 1, 0, {}, strings}}};
  VNode var{"Translation", 0, 4, {}, {}};
  put32(var.value, translation);
  VNode vfi{"VarFileInfo", 1, 0, {}, {var}};
  root.children = {sfi, vfi};
  return build(root);
}

std::vector<VNode> ostrelStrings() {
  return {text("CompanyName", "Ostrel authors"),
          text("FileDescription", "Ostrel debugger"),
          text("FileVersion", "1.0.0.191"),
          text("InternalName", "ostrel"),
          text("LegalCopyright", "(c) the author"),
          text("LegalTradeMarks", "none"),
          text("OriginalFileName", "ostrel.exe"),
          text("ProductName", "Ostrel"),
          text("ProductVersion", "1.0"),
          text("Comments", "")};
}

class VersionInfoTest : public fakes::ExcPkgTest {
 protected:
  void TearDown() override {
    freeAppVersionBlock();
    fakes::ExcPkgTest::TearDown();
  }
};

TEST_F(VersionInfoTest, ReadsTheTenValuesOfTheFixedLanguageBlock) {
  const Bytes block = versionBlock("040904B0", 0x04B00409, ostrelStrings());
  TrpVersionInfo info(block);
  EXPECT_EQ(info.CompanyName(), "Ostrel authors");
  EXPECT_EQ(info.FileDescription(), "Ostrel debugger");
  EXPECT_EQ(info.FileVersion(), "1.0.0.191");
  EXPECT_EQ(info.InternalName(), "ostrel");
  EXPECT_EQ(info.LegalCopyright(), "(c) the author");
  EXPECT_EQ(info.LegalTradeMarks(), "none");
  EXPECT_EQ(info.OriginalFileName(), "ostrel.exe");
  EXPECT_EQ(info.ProductName(), "Ostrel");
  EXPECT_EQ(info.ProductVersion(), "1.0");
  EXPECT_EQ(info.Comments(), "");
  std::string out;
  info._versionInfo(TVersionType::vtProductName, out);
  EXPECT_EQ(out, "Ostrel");
  EXPECT_EQ(versionKeyText(TVersionType::vtLegalTradeMarks), "LegalTradeMarks");
}

TEST_F(VersionInfoTest, OwnBlockThroughTheSystemAndPackagePart) {
  system.block = versionBlock("040904b0", 0x04B00409, ostrelStrings());
  TrpVersionInfo own;
  EXPECT_EQ(own.ProductName(), "Ostrel");
  std::string out;
  TrpVersionInfo::versionInfo(TVersionType::vtCompanyName, out);
  EXPECT_EQ(out, "Ostrel authors");

  ExcPkgShutdown();
  ExcPkgStartup();  // the program-wide reader now sees the block
  TVerInfo ver;
  EXPECT_EQ(ver.ProductName(), "Ostrel");
  EXPECT_EQ(ver.CompanyName(), "Ostrel authors");
  EXPECT_EQ(ver.OriginalFilename(), "ostrel.exe");
  EXPECT_EQ(ver.LegalTrademarks(), "none");
  EXPECT_EQ(ver.PrivateBuild(), "");
  ver.Set(TVerInfo::fProductName, "Other");
  EXPECT_EQ(ver.ProductName(), "Other");

  TVerInfo debuggee;
  TrpVersionInfo theirs(versionBlock("040904B0", 0x04B00409, {text("ProductName", "Sample")}));
  debuggee.Assign(theirs);
  EXPECT_EQ(debuggee.ProductName(), "Sample");
}

// A report of a log shows what the log holds, even where this machine and program would
// fill in a value; a size of 0 is held, one that did not fit is not.
TEST_F(VersionInfoTest, StoredValuesAreTheLogsOwnNeverThisMachines) {
  system.block = versionBlock("040904B0", 0x04B00409, ostrelStrings());
  ExcPkgShutdown();
  ExcPkgStartup();
  auto read = StringToComponent(
      "object TExceptionPack object TAppInfo ApplicationName = 'a.exe' ApplicationSize = 0 end"
      " object TErrorInfo end object TEnvInfo UserName = 'stored' end"
      " object TVerInfo ProductVersion = '2.5' end object TAppInfo ApplicationSize = 'x' end end");
  const auto& pack = dynamic_cast<const TExceptionPack&>(*read);
  const TAppInfo& app = *pack.AppInfo();
  const TErrorInfo& error = *pack.ErrorInfo();
  EXPECT_EQ(app.StoredApplicationName() + "|" + app.StoredApplicationDate(), "a.exe|");
  EXPECT_EQ(app.StoredApplicationSize(), std::optional<uint32_t>(0));
  EXPECT_EQ(pack.EnvInfo()->StoredComputerName() + "|" + pack.EnvInfo()->StoredUserName() + "|" +
                pack.EnvInfo()->StoredOSVersion(),
            "|stored|");
  EXPECT_EQ(pack.VerInfo()->Stored(TVerInfo::fProductVersion), "2.5");
  EXPECT_EQ(pack.VerInfo()->Stored(TVerInfo::fCompanyName), "");
  EXPECT_EQ(error.StoredTimeStamp(), "");
  auto* unsized = dynamic_cast<TAppInfo*>(pack.Components(4));
  ASSERT_NE(unsized, nullptr);
  EXPECT_EQ(unsized->StoredApplicationSize(), std::nullopt);
  EXPECT_EQ(system.userQueries, 0);
  EXPECT_TRUE(system.errors.empty());

  // The lazy getters still fill in, and what they fill in is held from then on.
  EXPECT_EQ(pack.VerInfo()->CompanyName(), "Ostrel authors");
  const std::string stamp = pack.ErrorInfo()->TimeStamp();
  EXPECT_EQ(error.StoredTimeStamp(), stamp);
  const uint32_t size = unsized->ApplicationSize();
  EXPECT_EQ(unsized->StoredApplicationSize(), std::optional<uint32_t>(size));
}

TEST_F(VersionInfoTest, OtherCodePageOnlyThroughTheTranslationList) {
  const Bytes block = versionBlock("040904E4", 0x04E40409, ostrelStrings());
  TrpVersionInfo info(block);
  for (int k = 0; k < kVersionTypeCount; ++k) EXPECT_EQ(info.getValue(TVersionType(k)), "");

  AppVersionBlock reader;
  reader.load("C:\\ostrel.exe", block);
  EXPECT_EQ(reader.value("ProductName"), "Ostrel");
  EXPECT_EQ(reader.value("LegalCopyright"), "(c) the author");
  EXPECT_EQ(reader.value("Missing"), "");
}

TEST_F(VersionInfoTest, VersionNumbers) {
  system.block = versionBlock("040904B0", 0x04B00409, ostrelStrings(), 0x00010000, 0x000000BF);
  loadAppVersionBlock();
  EXPECT_EQ(appVersionNumber(1), "1.0.0.191");
  EXPECT_EQ(appVersionNumber(0), "1.0");
  EXPECT_EQ(appVersionNumber(2), "2.3");
  EXPECT_EQ(appVersionNumber(3), "2.3.4.5");
  EXPECT_EQ(appVersionNumber(4), "");
  EXPECT_EQ(appVersionValue("ProductName"), "Ostrel");
  freeAppVersionBlock();
  EXPECT_EQ(appVersionNumber(1), "");
  EXPECT_EQ(appVersionValue("ProductName"), "");
}

TEST_F(VersionInfoTest, NoBlockGivesEmptyValues) {
  system.block.clear();
  TrpVersionInfo info;
  for (int k = 0; k < kVersionTypeCount; ++k) EXPECT_EQ(info.getValue(TVersionType(k)), "");
  loadAppVersionBlock();
  EXPECT_EQ(appVersionValue("ProductName"), "");
  EXPECT_EQ(appVersionNumber(0), "");
}

TEST_F(VersionInfoTest, DamagedBlocksNeverReadOutOfBounds) {
  const Bytes good = versionBlock("040904B0", 0x04B00409, ostrelStrings());
  // Every prefix, and every single-byte corruption of the length fields, stays bounded.
  for (std::size_t n = 0; n <= good.size(); ++n) {
    Bytes cut(good.begin(), good.begin() + std::ptrdiff_t(n));
    TrpVersionInfo info(cut);
    AppVersionBlock reader;
    reader.load("x", cut);
    (void)reader.value("ProductName");
    (void)reader.number(1);
  }
  for (std::size_t i = 0; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= 0xFF;
    TrpVersionInfo info(bad);
    AppVersionBlock reader;
    reader.load("x", bad);
    (void)reader.value("FileVersion");
    (void)reader.number(3);
  }
  EXPECT_EQ(verQueryText(good, "\\StringFileInfo\\040904B0\\ProductName"), "Ostrel");
  EXPECT_FALSE(verQueryValue(good, "\\StringFileInfo\\040904B0\\Nothing").has_value());
  EXPECT_FALSE(verQueryValue(Bytes{6, 0, 0}, "\\").has_value());
}

TEST_F(VersionInfoTest, LongPathIsCut) {
  AppVersionBlock reader;
  reader.load(std::string(300, 'p'), {});
  EXPECT_EQ(reader.path().size(), 260u);
  EXPECT_FALSE(reader.available());
}

}  // namespace
}  // namespace ostrel::excpack
