// Ostrel's executables carry their own version block, and both version readers find it
// through the Windows version functions.
#include <gtest/gtest.h>

#include <algorithm>

#include "excpack/version_info.h"
#include "integration_support.h"
#include "platform/win32/win32_host_system.h"

namespace ostrel::itest {
namespace {

TEST(OwnVersionBlock, BothReadersFindTheProductAndItsVersion) {
  Win32HostSystem system;
  std::vector<uint8_t> block = system.versionBlock(cliPath());
  ASSERT_FALSE(block.empty());

  excpack::TrpVersionInfo fixedTable(block);
  EXPECT_EQ(fixedTable.ProductName(), "Ostrel");
  EXPECT_NE(fixedTable.LegalCopyright().find("author"), std::string::npos)
      << fixedTable.LegalCopyright();
  EXPECT_EQ(fixedTable.OriginalFileName(), "ostrel-cli.exe");

  excpack::AppVersionBlock translated;
  translated.load(cliPath(), block);
  EXPECT_EQ(translated.value("ProductName"), "Ostrel");
  // Four-part file version, in the fixed information and as text.
  std::string four = translated.number(1);
  EXPECT_EQ(std::count(four.begin(), four.end(), '.'), 3) << four;
  EXPECT_EQ(translated.value("FileVersion"), four);
  EXPECT_EQ(four.rfind(translated.number(0) + ".", 0), 0u) << four;

  // A program without a version block: empty values, no failure.
  std::vector<uint8_t> none = system.versionBlock(samplePath());
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(excpack::TrpVersionInfo(none).ProductName(), "");
}

TEST(OwnVersionBlock, DebuggeeFactsForTheLog) {
  Win32HostSystem system;
  auto size = system.fileSize(samplePath());
  ASSERT_TRUE(size.has_value());
  EXPECT_GT(*size, 0u);
  auto time = system.fileTime(samplePath());
  ASSERT_TRUE(time.has_value());
  EXPECT_GE(time->year, 2020);
  EXPECT_FALSE(system.fileSize("Z:\\no\\such\\file.exe").has_value());
  EXPECT_FALSE(system.exePath().empty());
}

}  // namespace
}  // namespace ostrel::itest
