#include "engine/registry.h"

#include <gtest/gtest.h>

#include "fake_platform.h"

namespace ostrel {
namespace {

TEST(FormatThousands, GroupsOfThreeWithTheGivenSeparator) {
  EXPECT_EQ(formatThousands(0, ","), "0");
  EXPECT_EQ(formatThousands(999, ","), "999");
  EXPECT_EQ(formatThousands(1000, ","), "1,000");
  EXPECT_EQ(formatThousands(123456, ","), "123,456");
  EXPECT_EQ(formatThousands(1234567, "."), "1.234.567");
  EXPECT_EQ(formatThousands(4294967295u, "\xA0"), "4\xA0" "294\xA0" "967\xA0" "295");
  EXPECT_EQ(formatThousands(1234567, ""), "1234567");
}

TEST(FormatFixedVersion, MajorPlusMinorHundredths) {
  EXPECT_EQ(formatFixedVersion(0x00040000), "4.00");
  EXPECT_EQ(formatFixedVersion(0x0005000C), "5.12");
  EXPECT_EQ(formatFixedVersion(0x00010064), "2.00");  // 1.100
  EXPECT_EQ(formatFixedVersion(0x00060002), "6.02");
  EXPECT_EQ(formatFixedVersion(0xFFFFFFFF), "66190.35");
}

class DllFileDetailsTest : public ::testing::Test {
 protected:
  fake::FakePlatform p;
  void SetUp() override {
    p.diskFiles["C:\\w\\a.dll"] = {{1234567, 2005, 3, 7}, std::string("5.1.2600.2180 (xpsp)"),
                                   0x00050001};
    p.diskFiles["b.dll"] = {{512, 2024, 12, 31}, std::string(""), 0x00060002};
    p.diskFiles["c.dll"] = {{0, 1999, 1, 2}, std::nullopt, std::nullopt};
  }
};

TEST_F(DllFileDetailsTest, StringVersionWinsAndIsKeptAsItIs) {
  DllFileDetails d = readDllFileDetails(p, "C:\\w\\a.dll");
  EXPECT_EQ(d.size, "1,234,567");
  EXPECT_EQ(d.date, "03/07/05");
  EXPECT_EQ(d.version, "5.1.2600.2180 (xpsp)");
}

TEST_F(DllFileDetailsTest, EmptyStringVersionFallsBackToTheFixedVersion) {
  p.thousands = std::string(".");  // GCC 12 -O3 misreads the literal assignment (-Wrestrict)
  p.dateSep = std::string("-");
  DllFileDetails d = readDllFileDetails(p, "b.dll");
  EXPECT_EQ(d.size, "512");
  EXPECT_EQ(d.date, "12-31-24");
  EXPECT_EQ(d.version, "6.02");
}

TEST_F(DllFileDetailsTest, NoVersionInformationLeavesTheVersionEmpty) {
  DllFileDetails d = readDllFileDetails(p, "c.dll");
  EXPECT_EQ(d.size, "0");
  EXPECT_EQ(d.date, "01/02/99");
  EXPECT_EQ(d.version, "");
}

TEST_F(DllFileDetailsTest, NamesThatAreNoFileGiveEmptyTexts) {
  for (const char* name : {"Access Denied!", "missing.dll", ""}) {
    DllFileDetails d = readDllFileDetails(p, name);
    EXPECT_EQ(d.size, "") << name;
    EXPECT_EQ(d.date, "") << name;
    EXPECT_EQ(d.version, "") << name;
  }
}

TEST(Registry, RemoveTakesTheLatestRecordAndIgnoresUnknownIds) {
  TUsedThreads threads;
  threads.append(std::make_unique<TThreadProp>("", 0x10, 7));
  threads.append(std::make_unique<TThreadProp>("", 0x20, 8));
  threads.append(std::make_unique<TThreadProp>("", 0x30, 7));
  threads.RemoveThread(99);
  EXPECT_EQ(threads.count(), 3u);
  threads.RemoveThread(7);
  ASSERT_EQ(threads.count(), 2u);
  EXPECT_EQ(threads.copyAt(0).ThreadHandle, 0x10u);
  EXPECT_EQ(threads.copyAt(1).ThreadId, 8u);
  threads.ClearThreads();
  EXPECT_EQ(threads.count(), 0u);

  TUsedProcesses processes;
  processes.append(std::make_unique<TProcessProp>(0x500, "C:\\a.exe", 0x100));
  processes.append(std::make_unique<TProcessProp>(0x504, "child.exe", 0x200));
  processes.RemoveProcess(0x500);
  ASSERT_EQ(processes.count(), 1u);
  EXPECT_EQ(processes.copyAt(0).Name, "child.exe");
}

}  // namespace
}  // namespace ostrel
