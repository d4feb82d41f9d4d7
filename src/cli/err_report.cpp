#include "cli/err_report.h"

#include <cstring>
#include <optional>

#include "common/format.h"
#include "excpack/exc_pkg_system.h"
#include "excpack/exception_log.h"
#include "mapfile/map_feedback.h"
#include "platform/debug_records.h"

namespace ostrel::cli {

namespace {

using excpack::ExcPkgSystem;
using excpack::LocalTime;
using excpack::OsVersionInfo;

// The package's getters fill an empty value from the running program and machine. In a
// report that would pass the viewer's own name, size or version off as the log's, so while
// the report is read the seam answers nothing and shows no message boxes.
class NothingKnownSystem : public ExcPkgSystem {
 public:
  std::string exePath() override { return {}; }
  LocalTime now() override { return {}; }
  std::optional<uint32_t> fileSize(const std::string&) override { return std::nullopt; }
  std::optional<LocalTime> fileTime(const std::string&) override { return std::nullopt; }
  std::optional<std::string> userName() override { return std::nullopt; }
  std::optional<std::string> computerName() override { return std::nullopt; }
  std::optional<OsVersionInfo> osVersion() override { return std::nullopt; }
  std::vector<uint8_t> versionBlock(const std::string&) override { return {}; }
  void showError(const std::string&) override {}
};

// Installs NothingKnownSystem and an empty program-wide version reader for its lifetime,
// then puts back the previous seam and reader.
class StoredValuesOnly {
 public:
  StoredValuesOnly()
      : previous_(&excpack::getExcPkgSystem()), hadReader_(excpack::ExcPkgVersionInfo() != nullptr) {
    excpack::setExcPkgSystem(&nothing_);
    excpack::ExcPkgShutdown();
    excpack::ExcPkgStartup();  // the reader now reads the empty block
  }
  ~StoredValuesOnly() {
    excpack::setExcPkgSystem(previous_);
    excpack::ExcPkgShutdown();
    if (hadReader_) excpack::ExcPkgStartup();
  }
  StoredValuesOnly(const StoredValuesOnly&) = delete;
  StoredValuesOnly& operator=(const StoredValuesOnly&) = delete;

 private:
  NothingKnownSystem nothing_;
  ExcPkgSystem* previous_;
  bool hadReader_;
};

// The loader's error box becomes the report's error text.
class CollectingFeedback : public TMapFeedback {
 public:
  std::string errors;
  void showError(const std::string& text) override { errors += text + "\n"; }
};

// Two "%p" fields on one register line.
std::string registerPair(const char* first, uint32_t a, const char* second, uint32_t b) {
  return std::string("\t\t") + first + ": " + hexP(a) + "\t" + second + ": " + hexP(b);
}

StackRow locationRow(std::string number, const std::string& module, const TCodeLocation& loc) {
  return {std::move(number), loc.Address, module, loc.UnitName, loc.RoutineName, loc.LineText};
}

bool resolved(const TCodeLocation& loc) {
  return !loc.UnitName.empty() || !loc.RoutineName.empty() || !loc.LineText.empty();
}

std::optional<std::string> readFile(const std::string& path) {
  return excpack::getLogFileStore().read(path);
}

}  // namespace

std::vector<std::string> reportLines(excpack::TExceptionPack& pack) {
  StoredValuesOnly storedOnly;
  // A log may lack a part; its values then read as empty.
  excpack::TAppInfo noApp;
  excpack::TEnvInfo noEnv;
  excpack::TVerInfo noVer;
  excpack::TErrorInfo noError;
  excpack::TAppInfo& app = pack.AppInfo() ? *pack.AppInfo() : noApp;
  excpack::TEnvInfo& env = pack.EnvInfo() ? *pack.EnvInfo() : noEnv;
  excpack::TVerInfo& ver = pack.VerInfo() ? *pack.VerInfo() : noVer;
  excpack::TErrorInfo& error = pack.ErrorInfo() ? *pack.ErrorInfo() : noError;

  ThreadContext ctx;
  static_assert(sizeof ctx == excpack::kRegistersSize);
  std::memcpy(&ctx, error.Registers.data(), sizeof ctx);

  return {
      "",
      "GLOBAL INFORMATIONS",
      "",
      "Machine & Environment:",
      "\tComputer name: " + env.ComputerName(),
      "\tUser name: " + env.UserName(),
      "\tOS Version: " + env.OSVersion(),
      "",
      "Application:",
      "\tApplication name: " + app.ApplicationName(),
      "\tApplication date: " + app.ApplicationDate(),
      "\tApplication size: " + std::to_string(app.ApplicationSize()),
      "",
      "Version:",
      "\tCompany name: " + ver.CompanyName(),
      "\tFile description: " + ver.FileDescription(),
      "\tFile version: " + ver.FileVersion(),
      "\tInternal name: " + ver.InternalName(),
      "\tOrigin file name: " + ver.OriginalFilename(),
      "\tProduct name: " + ver.ProductName(),
      "\tProduct version: " + ver.ProductVersion(),
      "\tLegal copyright: " + ver.LegalCopyright(),
      "\tLegal trademark: " + ver.LegalTrademarks(),
      "\tComments: " + ver.Comments(),
      "\tPrivate build: " + ver.PrivateBuild(),
      "\tSpecial build: " + ver.SpecialBuild(),
      "",
      "Error:",
      "\tOccurred at: " + error.TimeStamp(),
      "\tError message: " + error.ErrorMessage,
      "\tException code: " + error.ExceptionCode,
      "\tError code: " + std::to_string(error.ErrorCode),
      "\tError address: " + hexP(error.ErrorAddress),
      "\tCall Stack items count: " + std::to_string(error.CallStackCount()),
      "\tMain thread Id: " + std::to_string(error.MainThreadId),
      "\tCurrent thread Id: " + std::to_string(error.CurrentThreadId),
      "\tCPU Registers:",
      "\t\tFlags: " + hexP(ctx.ContextFlags),
      registerPair("ECS", ctx.SegCs, "EIP", ctx.Eip),
      registerPair("ESS", ctx.SegSs, "ESP", ctx.Esp),
      registerPair("EFS", ctx.SegFs, "EES", ctx.SegEs),
      registerPair("EDS", ctx.SegDs, "EGS", ctx.SegGs),
      registerPair("EBP", ctx.Ebp, "EFl", ctx.EFlags),
      registerPair("EAX", ctx.Eax, "EBX", ctx.Ebx),
      registerPair("ECX", ctx.Ecx, "EDX", ctx.Edx),
      registerPair("ESI", ctx.Esi, "EDI", ctx.Edi),
      "",
  };
}

std::vector<StackRow> callStackRows(const excpack::TExceptionPack& pack, TMap* map,
                                    const std::vector<std::string>& moduleNames) {
  std::vector<StackRow> rows;
  const excpack::TErrorInfo* error = pack.ErrorInfo();
  if (map != nullptr) map->CodeBase = error ? error->OffsetBase : 0;

  auto locate = [&](uint32_t address) {
    TCodeLocation loc;
    if (map != nullptr) map->lookup(address, loc);
    loc.Address = hexP(address);
    return loc;
  };

  if (error != nullptr) {
    TCodeLocation loc = locate(error->ErrorAddress);
    if (resolved(loc)) rows.push_back(locationRow("E:", " ", loc));
  }
  rows.push_back(StackRow{});
  if (error == nullptr) return rows;
  const int count = error->CallStackCount();
  for (int i = 0; i < count; ++i) {
    // The container may hold parts of other classes; only items are call stack entries.
    const excpack::TCallStackItem* item = error->CallStackItem(i);
    if (item == nullptr) continue;
    TCodeLocation loc = locate(item->OperationPoint);
    if (!resolved(loc)) continue;
    const std::string module = size_t(i) < moduleNames.size() ? moduleNames[size_t(i)] : "";
    rows.push_back(locationRow(std::to_string(i), module, loc));
  }
  return rows;
}

std::string rowText(const StackRow& row) {
  std::string text = row[0];
  for (size_t i = 1; i < row.size(); ++i) text += '\t' + row[i];
  return text;
}

std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t i = 0;
  while (i < text.size()) {
    const size_t end = text.find_first_of("\r\n", i);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(i));
      break;
    }
    lines.emplace_back(text.substr(i, end - i));
    i = end + 1;
    if (text[end] == '\r' && i < text.size() && text[i] == '\n') ++i;
  }
  return lines;
}

ErrReportOutput errReport(const std::string& logPath, const std::string& mapPath,
                          const std::string& modulesPath) {
  ErrReportOutput result;
  auto fail = [&](std::string text) {
    result.exitCode = 1;
    result.err = std::move(text) + "\n";
    return result;
  };

  std::vector<std::string> moduleNames;
  if (!modulesPath.empty()) {
    auto text = readFile(modulesPath);
    if (!text) return fail("Cannot read module list " + modulesPath);
    moduleNames = splitLines(*text);
  }

  std::optional<TMap> map;
  if (!mapPath.empty()) {
    map.emplace();
    map->loadMapFile(mapPath);
    if (!map->Loaded) return fail("Cannot read map file " + mapPath);
    CollectingFeedback feedback;
    setMapFeedback(&feedback);
    const bool parsed = map->loadSymbols();
    setMapFeedback(nullptr);
    if (!parsed) {
      result.exitCode = 1;
      result.err = feedback.errors.empty() ? "Cannot parse map file " + mapPath + "\n"
                                           : feedback.errors;
      return result;
    }
  }

  auto content = readFile(logPath);
  if (!content) return fail("Cannot read " + logPath);
  excpack::ReadLogResult log;
  {
    // Reading registers the package classes; the guard keeps start-up from reading the
    // running program's version block.
    StoredValuesOnly storedOnly;
    log = excpack::readExceptionLogText(*content);
  }
  if (!log.pack) return fail(log.error);

  for (const std::string& line : reportLines(*log.pack)) result.out += line + "\n";
  for (const StackRow& row : callStackRows(*log.pack, map ? &*map : nullptr, moduleNames))
    result.out += rowText(row) + "\n";
  return result;
}

}  // namespace ostrel::cli
