// The report of an exception log: its text lines, its call stack rows resolved through a
// map, and the command around them with its bad inputs.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/err_report.h"
#include "excpack/er_ce5_tools.h"
#include "excpack/exc_pkg_system.h"
#include "excpack/exception_log.h"
#include "map_samples.h"
#include "sized_file.h"
#include "platform/debug_records.h"
#include "report/log_report.h"

namespace ostrel::cli {
namespace {

using report::callStackRows;
using report::reportLines;
using report::ReportValues;
using report::rowText;
using report::splitLines;
using report::StackRow;

using excpack::TExceptionPack;

// Knows everything about the "running program": a report that shows any of it has
// fetched a value the log does not hold.
class KnowingSystem : public excpack::ExcPkgSystem {
 public:
  std::vector<std::string> errors;
  std::string exePath() override { return "C:\\Viewer\\ostrel-cli.exe"; }
  excpack::LocalTime now() override { return {2030, 1, 2, 3, 4, 5, 6}; }
  std::optional<uint32_t> fileSize(const std::string&) override { return 777; }
  std::optional<excpack::LocalTime> fileTime(const std::string&) override { return now(); }
  std::optional<std::string> userName() override { return "viewer"; }
  std::optional<std::string> computerName() override { return "VIEWERPC"; }
  std::optional<excpack::OsVersionInfo> osVersion() override {
    return excpack::OsVersionInfo{2, 10, 0, 19045};
  }
  std::vector<uint8_t> versionBlock(const std::string&) override { return {}; }
  void showError(const std::string& message) override { errors.push_back(message); }
};

// The small map of the map tests; code base 0x00401000 in these tests.
const char* const kMapText = ostrel::test::kSmallMap;

constexpr uint32_t kCodeBase = 0x00401000;

class ErrReportTest : public ::testing::Test {
 protected:
  KnowingSystem system;
  std::filesystem::path dir;

  void SetUp() override {
    excpack::setExcPkgSystem(&system);
    excpack::excLogSettings() = excpack::ExcLogSettings{};
    excpack::ExcPkgStartup();
    dir = std::filesystem::path(::testing::TempDir()) /
          ("ostrel_err_report_" +
           std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    excpack::ExcPkgShutdown();
    excpack::setExcPkgSystem(nullptr);
  }

  std::string writeFile(const std::string& name, const std::string& content) {
    const std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // The log form of a package: enciphered component text, one line.
  static std::string logOf(excpack::TComponent& component) {
    return excpack::EncryptText(excpack::ComponentToString(component)) + "\r\n";
  }

  static std::unique_ptr<TMap> parsedMap() {
    auto map = std::make_unique<TMap>();
    map->MapText.setText(kMapText);
    map->Loaded = true;
    EXPECT_TRUE(map->parse());
    return map;
  }

  // Every stored value set, each register different.
  static std::unique_ptr<TExceptionPack> fullPack() {
    auto pack = TExceptionPack::Create();
    auto* env = pack->EnvInfo();
    env->SetComputerName("CRASHPC");
    env->SetUserName("alice");
    env->SetOSVersion("Platform: Windows NT 6.1 Build: 7601");
    auto* app = pack->AppInfo();
    app->SetApplicationName("C:\\Apps\\prog.exe");
    app->SetApplicationDate("30.11.2026 09:08:07");
    app->SetApplicationSize(0x80000000u);
    auto* ver = pack->VerInfo();
    for (int f = 0; f < excpack::TVerInfo::fFieldCount; ++f) {
      const auto field = excpack::TVerInfo::Field(f);
      ver->Set(field, "v-" + std::string(excpack::TVerInfo::FieldName(field)));
    }
    auto* error = pack->ErrorInfo();
    error->SetTimeStamp("06.12.2026 18:05:27");
    error->ErrorMessage = "Access violation";
    error->ExceptionCode = "$C0000005";
    error->ErrorCode = -5;
    error->ErrorAddress = 0x00401112;
    error->OffsetBase = kCodeBase;
    error->MainThreadId = 0xFFFFFFFFu;
    error->CurrentThreadId = 0x24;
    ThreadContext ctx{};
    ctx.ContextFlags = kContextI386Full;
    ctx.SegGs = 0x2B;
    ctx.SegFs = 0x53;
    ctx.SegEs = 0x2B0;
    ctx.SegDs = 0x2B1;
    ctx.Edi = 0xD1;
    ctx.Esi = 0x51;
    ctx.Ebx = 0xB1;
    ctx.Edx = 0xD2;
    ctx.Ecx = 0xC1;
    ctx.Eax = 0xA1;
    ctx.Ebp = 0x0012FF80;
    ctx.Eip = 0x00401112;
    ctx.SegCs = 0x23;
    ctx.EFlags = 0x10246;
    ctx.Esp = 0x0012FF70;
    ctx.SegSs = 0x2C;
    std::memcpy(error->Registers.data(), &ctx, sizeof ctx);
    // Inside System/Beta; below the code base; Unit1/Delta; after Unit1's last line;
    // on Unit1's inclusive end.
    for (uint32_t address : {0x00401045u, 0x00400000u, 0x00401160u, 0x00401175u, 0x00401180u})
      error->AddCallStackItem(address);
    return pack;
  }
};

const std::vector<std::string> kFullReport = {
    "",
    "GLOBAL INFORMATIONS",
    "",
    "Machine & Environment:",
    "\tComputer name: CRASHPC",
    "\tUser name: alice",
    "\tOS Version: Platform: Windows NT 6.1 Build: 7601",
    "",
    "Application:",
    "\tApplication name: C:\\Apps\\prog.exe",
    "\tApplication date: 30.11.2026 09:08:07",
    "\tApplication size: 2147483648",
    "",
    "Version:",
    "\tCompany name: v-CompanyName",
    "\tFile description: v-FileDescription",
    "\tFile version: v-FileVersion",
    "\tInternal name: v-InternalName",
    "\tOrigin file name: v-OriginalFilename",
    "\tProduct name: v-ProductName",
    "\tProduct version: v-ProductVersion",
    "\tLegal copyright: v-LegalCopyright",
    "\tLegal trademark: v-LegalTrademarks",
    "\tComments: v-Comments",
    "\tPrivate build: v-PrivateBuild",
    "\tSpecial build: v-SpecialBuild",
    "",
    "Error:",
    "\tOccurred at: 06.12.2026 18:05:27",
    "\tError message: Access violation",
    "\tException code: $C0000005",
    "\tError code: -5",
    "\tError address: $00401112",
    "\tCall Stack items count: 5",
    "\tMain thread Id: 4294967295",
    "\tCurrent thread Id: 36",
    "\tCPU Registers:",
    "\t\tFlags: $00010007",
    "\t\tECS: $00000023\tEIP: $00401112",
    "\t\tESS: $0000002C\tESP: $0012FF70",
    "\t\tEFS: $00000053\tEES: $000002B0",
    "\t\tEDS: $000002B1\tEGS: $0000002B",
    "\t\tEBP: $0012FF80\tEFl: $00010246",
    "\t\tEAX: $000000A1\tEBX: $000000B1",
    "\t\tECX: $000000C1\tEDX: $000000D2",
    "\t\tESI: $00000051\tEDI: $000000D1",
    "",
};

TEST_F(ErrReportTest, ReportHasEveryLineInOrder) {
  auto pack = fullPack();
  EXPECT_EQ(reportLines(*pack, ReportValues::StoredOnly), kFullReport);
  // A package that holds every value reads the same either way.
  EXPECT_EQ(reportLines(*pack, ReportValues::FillFromProgram), kFullReport);
}

TEST_F(ErrReportTest, ValuesMissingFromTheLogAreNotTakenFromTheViewer) {
  // A log holding only an error part: nothing of the machine reading it may appear.
  auto pack = std::make_unique<TExceptionPack>();
  pack->SetErrorInfo(std::make_unique<excpack::TErrorInfo>());
  pack->SetEnvInfo(std::make_unique<excpack::TEnvInfo>());
  const std::vector<std::string> lines = reportLines(*pack, ReportValues::StoredOnly);
  ASSERT_EQ(lines.size(), 47u);
  EXPECT_EQ(lines[4], "\tComputer name: ");
  EXPECT_EQ(lines[5], "\tUser name: ");
  EXPECT_EQ(lines[6], "\tOS Version: ");
  EXPECT_EQ(lines[9], "\tApplication name: ");
  EXPECT_EQ(lines[10], "\tApplication date: ");
  EXPECT_EQ(lines[11], "\tApplication size: ");
  EXPECT_EQ(lines[14], "\tCompany name: ");
  EXPECT_EQ(lines[28], "\tOccurred at: ");
  EXPECT_EQ(lines[33], "\tCall Stack items count: 0");
  EXPECT_EQ(lines[37], "\t\tFlags: $00000000");
  EXPECT_TRUE(system.errors.empty());  // no "Cannot open" box for the viewer's file
  // The choice is the report's, not a swap of the program's seam: asked to fill values
  // from the program, the same package shows the viewer's own.
  const std::vector<std::string> filled = reportLines(*pack, ReportValues::FillFromProgram);
  EXPECT_EQ(filled[5], "\tUser name: viewer");
  EXPECT_EQ(filled[28], "\tOccurred at: 02.01.2030 03:04:05");
}

TEST_F(ErrReportTest, RowsResolveThroughTheMapWithTheOffsetBase) {
  auto pack = fullPack();
  auto map = parsedMap();
  const std::vector<StackRow> rows = callStackRows(*pack, map.get(), {"prog.exe", "kernel32.dll"});
  const std::vector<StackRow> expected = {
      {"E:", "$00401112", " ", "Unit1", "Gamma", "11"},
      {"", "", "", "", "", ""},
      {"0", "$00401045", "prog.exe", "System", "Beta", "-"},
      // item 1 lies below the code base: no row, and the next keeps its index
      {"2", "$00401160", "", "Unit1", "-", "12"},
      {"3", "$00401175", "", "Unit1", "-", "-"},
      {"4", "$00401180", "", "Unit1", "-", "-"},
  };
  EXPECT_EQ(rows, expected);
  EXPECT_EQ(map->CodeBase, 0u);  // the code base is the package's; the map is not written
  EXPECT_EQ(rowText(rows[0]), "E:\t$00401112\t \tUnit1\tGamma\t11");
  EXPECT_EQ(rowText(rows[1]), "\t\t\t\t\t");
}

TEST_F(ErrReportTest, WithoutAResolvingMapOnlyTheSeparatorRemains) {
  auto pack = fullPack();
  const std::vector<StackRow> separatorOnly = {StackRow{}};
  EXPECT_EQ(callStackRows(*pack, nullptr, {}), separatorOnly);

  auto map = parsedMap();
  pack->ErrorInfo()->OffsetBase = 0;  // a code base of 0 disables the lookup
  EXPECT_EQ(callStackRows(*pack, map.get(), {}), separatorOnly);

  // The error address outside the map: the separator is the first row.
  pack->ErrorInfo()->OffsetBase = kCodeBase;
  pack->ErrorInfo()->ErrorAddress = 0x00500000;
  const std::vector<StackRow> rows = callStackRows(*pack, map.get(), {});
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0], StackRow{});
  EXPECT_EQ(rows.size(), 5u);

  TExceptionPack noError;  // a log without an error part still gets its separator
  EXPECT_EQ(callStackRows(noError, map.get(), {}), separatorOnly);
}

TEST_F(ErrReportTest, SplitLinesTakesEveryLineEnd) {
  EXPECT_EQ(splitLines("a.exe\r\nb.dll\nc.dll\rd.dll"),
            (std::vector<std::string>{"a.exe", "b.dll", "c.dll", "d.dll"}));
  EXPECT_EQ(splitLines("a\r\n\r\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_TRUE(splitLines("").empty());
}

TEST_F(ErrReportTest, CommandPrintsReportThenRows) {
  auto pack = fullPack();
  const std::string log = writeFile("prog.err", logOf(*pack));
  const std::string map = writeFile("prog.map", kMapText);
  const std::string modules = writeFile("modules.txt", "prog.exe\r\nkernel32.dll\r\n");

  const ErrReportOutput result = errReport(log, map, modules);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "");
  std::string expected;
  for (const std::string& line : kFullReport) expected += line + "\n";
  expected +=
      "E:\t$00401112\t \tUnit1\tGamma\t11\n"
      "\t\t\t\t\t\n"
      "0\t$00401045\tprog.exe\tSystem\tBeta\t-\n"
      "2\t$00401160\t\tUnit1\t-\t12\n"
      "3\t$00401175\t\tUnit1\t-\t-\n"
      "4\t$00401180\t\tUnit1\t-\t-\n";
  EXPECT_EQ(result.out, expected);

  // Without a map: the report and the separator row.
  const ErrReportOutput bare = errReport(log, "", "");
  EXPECT_EQ(bare.exitCode, 0);
  std::string bareExpected;
  for (const std::string& line : kFullReport) bareExpected += line + "\n";
  EXPECT_EQ(bare.out, bareExpected + "\t\t\t\t\t\n");
}

TEST_F(ErrReportTest, BadLogsGiveTheWindowTexts) {
  auto expectFailure = [](const ErrReportOutput& result, const std::string& text) {
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, text + "\n");
    EXPECT_EQ(result.out, "");
  };
  // Not digits at all, and digits that decipher to no component text.
  expectFailure(errReport(writeFile("junk.err", "hello, world\r\n"), "", ""),
                excpack::kConvertFailedText);
  expectFailure(
      errReport(writeFile("digits.err", excpack::EncryptText("object X\r\n") + "\r\n"), "", ""),
      excpack::kConvertFailedText);
  // An unregistered class.
  expectFailure(
      errReport(writeFile("class.err", excpack::EncryptText("object TForm1\r\nend\r\n")), "", ""),
      excpack::kConvertFailedText);
  // A well-formed component of another class.
  excpack::TAppInfo app;
  app.SetApplicationName("x.exe");
  expectFailure(errReport(writeFile("app.err", logOf(app)), "", ""), excpack::kNotPackText);
  // Empty and missing files.
  expectFailure(errReport(writeFile("empty.err", ""), "", ""), excpack::kConvertFailedText);
  const std::string missing = (dir / "missing.err").string();
  expectFailure(errReport(missing, "", ""), excpack::openFailedText(missing));
}

TEST_F(ErrReportTest, OversizedLogIsRefusedWithItsNameAndSize) {
  // Far beyond any real log, and more than a 32-bit program can hold.
  const std::string huge = (dir / "huge.err").string();
  ASSERT_TRUE(test::makeSizedFile(huge, 1610612736));
  const ErrReportOutput result = errReport(huge, "", "");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, excpack::tooLargeText(huge, 1610612736) + "\n");
  EXPECT_NE(result.err.find(huge), std::string::npos);
  EXPECT_NE(result.err.find("1610612736"), std::string::npos);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(cmdErr({"text", huge}), 1);
}

TEST_F(ErrReportTest, ZeroCharactersAndForeignPartsLeaveTheReportWhole) {
  auto pack = fullPack();
  excpack::TErrorInfo* error = pack->ErrorInfo();
  error->ErrorMessage = std::string("Access\0violation", 16);
  // A part of another class inside the call stack container is no call stack item.
  error->CallStack()->CreateOwned<excpack::TAppInfo>();
  error->AddCallStackItem(0x00401045);
  const ErrReportOutput result = errReport(writeFile("zero.err", logOf(*pack)), "", "");
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out.find('\0'), std::string::npos);
  EXPECT_NE(result.out.find("\n\tError message: Access violation\n"), std::string::npos);
  EXPECT_NE(result.out.find("\n\tCall Stack items count: 6\n"), std::string::npos) << result.out;
}

TEST_F(ErrReportTest, BadMapOrModuleListFailsBeforeAnyOutput) {
  auto pack = fullPack();
  const std::string log = writeFile("prog.err", logOf(*pack));
  const std::string missing = (dir / "none").string();

  ErrReportOutput result = errReport(log, missing, "");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, "Cannot read map file " + missing + "\n");

  const std::string broken =
      writeFile("broken.map", "Detailed map of segments\r\n\r\n 0001:zz\r\n");
  result = errReport(log, broken, "");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("Can not to load"), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "");

  result = errReport(log, "", missing);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, "Cannot read module list " + missing + "\n");
}

TEST_F(ErrReportTest, UsageErrorsExitWithTwo) {
  EXPECT_EQ(cmdErr({}), 2);
  EXPECT_EQ(cmdErr({"report"}), 2);
  EXPECT_EQ(cmdErr({"report", "a.err", "--map"}), 2);
  EXPECT_EQ(cmdErr({"report", "a.err", "--modules"}), 2);
  EXPECT_EQ(cmdErr({"report", "a.err", "b.err"}), 2);
  EXPECT_EQ(cmdErr({"report", "a.err", "--colour"}), 2);
  EXPECT_EQ(cmdErr({"report", "a.err", "--map", "x.map", "--map", "y.map"}), 2);
  EXPECT_EQ(cmdErr({"dump", "a.err"}), 2);
  // Well-formed but unreadable: a file error, not a usage error.
  EXPECT_EQ(cmdErr({"report", (dir / "missing.err").string()}), 1);
}

}  // namespace
}  // namespace ostrel::cli
