#include "engine/exception_text.h"

#include <gtest/gtest.h>

#include "fake_platform.h"

namespace ostrel {
namespace {

constexpr Handle kProcess = 0x100;

ExceptionRecord32 record(uint32_t code, uint32_t flags, Address at = 0x00401000,
                         std::vector<uint32_t> params = {}) {
  return fake::makeException(1, 2, code, at, true, flags, std::move(params)).u.Exception.ExceptionRecord;
}

TEST(ExceptionText, FlagPrefixMatchesTheWholeValue) {
  EXPECT_EQ(exceptionFlagsText(0), "Contunuable - ");
  EXPECT_EQ(exceptionFlagsText(1), "Non continuable - ");
  EXPECT_EQ(exceptionFlagsText(6), "Unwind in progress - ");
  EXPECT_EQ(exceptionFlagsText(0x40), "Exception Colided unwind");
  EXPECT_EQ(exceptionFlagsText(3), "");
  EXPECT_EQ(exceptionFlagsText(0x80), "");
}

TEST(ExceptionText, CodeTableKeepsItsOwnSpellings) {
  EXPECT_EQ(exceptionCodeText(0x00000000), "Wait object 0");
  EXPECT_EQ(exceptionCodeText(0x00000103), "Stil Active");
  EXPECT_EQ(exceptionCodeText(0x0EEDFADE), "Delphi exception");
  EXPECT_EQ(exceptionCodeText(0x0EEDFAE5), "Delphi exit finally");
  EXPECT_EQ(exceptionCodeText(0x0EEFFACE), "C++ exception");
  EXPECT_EQ(exceptionCodeText(0x40010005), "Control-C Exit");
  EXPECT_EQ(exceptionCodeText(0x80000003), "Breakpoint");
  EXPECT_EQ(exceptionCodeText(0xC0000096), "Privlidged Instruction");
  EXPECT_EQ(exceptionCodeText(0xC00000FD), "Stack Overflow");
  EXPECT_EQ(exceptionCodeText(0xFFFFFFFF), "Wait failed");
  EXPECT_EQ(exceptionCodeText(0xE06D7363), "Unknown Error, (E06D7363)");
  EXPECT_EQ(exceptionCodeText(0x0000000A), "Unknown Error, (0000000A)");
}

TEST(ExceptionText, DescriptionJoinsPrefixAndCode) {
  fake::FakePlatform p;
  EXPECT_EQ(exceptionDescription(p, kProcess, record(0xC0000094, 0)),
            "Contunuable - Int Divide by Zero");
  EXPECT_EQ(exceptionDescription(p, kProcess, record(0x80000003, 8)),
            "Exception stack invalidBreakpoint");
  EXPECT_EQ(exceptionDescription(p, kProcess, record(0xC00000FD, 3)), "Stack Overflow");
  EXPECT_EQ(exceptionDescription(p, kProcess, record(0xE06D7363, 1)),
            "Non continuable - Unknown Error, (E06D7363)");
}

TEST(AccessViolation, ModuleFormNamesTheFileWithoutItsFolder) {
  fake::FakePlatform p;
  p.addRegion(kProcess, {0x00401000, 0x4000, 0x00400000, kMemCommit});
  p.addModule(kProcess, 0x00400000, "C:\\apps\\sample.exe");
  EXPECT_EQ(exceptionDescription(p, kProcess, record(0xC0000005, 0, 0x00403F1A, {0, 0})),
            "Contunuable - Access violation at address 00403F1A in module 'sample.exe'. "
            "Read of address 00000000");
  // Any non-zero access kind is a write (8 is a DEP fault).
  EXPECT_EQ(accessViolationText(p, kProcess, record(0xC0000005, 0, 0x00401010, {8, 0x12345678})),
            "Access violation at address 00401010 in module 'sample.exe'. Write of address "
            "12345678");
}

TEST(AccessViolation, ShortFormWhenNoCommittedModuleHoldsTheAddress) {
  fake::FakePlatform p;
  // No region at all.
  EXPECT_EQ(accessViolationText(p, kProcess, record(0xC0000005, 0, 0x7FFE0000, {1, 0x10})),
            "Access violation at address 7FFE0000. Write of address 00000010");
  // Reserved but not committed, even though a module would be known there.
  p.addRegion(kProcess, {0x00500000, 0x1000, 0x00500000, 0x2000});
  p.addModule(kProcess, 0x00500000, "C:\\x\\reserved.dll");
  EXPECT_EQ(accessViolationText(p, kProcess, record(0xC0000005, 0, 0x00500010, {0, 0xABCDEF01})),
            "Access violation at address 00500010. Read of address ABCDEF01");
  // Committed heap memory that no module owns.
  p.addRegion(kProcess, {0x00600000, 0x1000, 0x00600000, kMemCommit});
  EXPECT_EQ(accessViolationText(p, kProcess, record(0xC0000005, 0, 0x00600004, {0, 4})),
            "Access violation at address 00600004. Read of address 00000004");
}

TEST(AccessViolation, NullAddressKeepsPlaceholderKindAndDataAddress) {
  fake::FakePlatform p;
  EXPECT_EQ(accessViolationText(p, kProcess, record(0xC0000005, 0, 0, {1, 0x00000008})),
            "Access violation at address ???????? in module ''. Write of address 00000008");
}

}  // namespace
}  // namespace ostrel
