#include "report/log_report.h"

#include <algorithm>
#include <cstring>

#include "common/format.h"
#include "engine/exception_capture.h"
#include "minidump/minidump.h"
#include "platform/debug_records.h"
#include "report/dump_report.h"

namespace ostrel::report {

namespace {

using excpack::TAppInfo;
using excpack::TEnvInfo;
using excpack::TErrorInfo;
using excpack::TExceptionPack;
using excpack::TVerInfo;

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

// The values of the report in one place, whichever way they are taken.
struct ReportFields {
  std::string computerName, userName, osVersion;
  std::string applicationName, applicationDate, applicationSize;
  std::array<std::string, TVerInfo::fFieldCount> version;
  std::string timeStamp;
};

ReportFields storedFields(const TExceptionPack& pack) {
  ReportFields f;
  if (const TEnvInfo* env = pack.EnvInfo()) {
    f.computerName = env->StoredComputerName();
    f.userName = env->StoredUserName();
    f.osVersion = env->StoredOSVersion();
  }
  if (const TAppInfo* app = pack.AppInfo()) {
    f.applicationName = app->StoredApplicationName();
    f.applicationDate = app->StoredApplicationDate();
    if (auto size = app->StoredApplicationSize()) f.applicationSize = std::to_string(*size);
  }
  if (const TVerInfo* ver = pack.VerInfo())
    for (int i = 0; i < TVerInfo::fFieldCount; ++i)
      f.version[size_t(i)] = ver->Stored(TVerInfo::Field(i));
  if (const TErrorInfo* error = pack.ErrorInfo()) f.timeStamp = error->StoredTimeStamp();
  return f;
}

ReportFields programFields(const TExceptionPack& pack) {
  ReportFields f;
  if (TEnvInfo* env = pack.EnvInfo()) {
    f.computerName = env->ComputerName();
    f.userName = env->UserName();
    f.osVersion = env->OSVersion();
  }
  if (TAppInfo* app = pack.AppInfo()) {
    f.applicationName = app->ApplicationName();
    f.applicationDate = app->ApplicationDate();
    f.applicationSize = std::to_string(app->ApplicationSize());
  }
  if (TVerInfo* ver = pack.VerInfo())
    for (int i = 0; i < TVerInfo::fFieldCount; ++i)
      f.version[size_t(i)] = ver->Get(TVerInfo::Field(i));
  if (TErrorInfo* error = pack.ErrorInfo()) f.timeStamp = error->TimeStamp();
  return f;
}

}  // namespace

std::vector<std::string> reportLines(excpack::TExceptionPack& pack, ReportValues values) {
  const ReportFields f =
      values == ReportValues::StoredOnly ? storedFields(pack) : programFields(pack);
  // A log may lack its error part; its values then read as empty or 0.
  const TErrorInfo noError{};
  const TErrorInfo& error = pack.ErrorInfo() ? *pack.ErrorInfo() : noError;
  auto ver = [&](TVerInfo::Field field) { return f.version[size_t(field)]; };

  ThreadContext ctx;
  static_assert(sizeof ctx == excpack::kRegistersSize);
  std::memcpy(&ctx, error.Registers.data(), sizeof ctx);

  std::vector<std::string> lines = {
      "",
      "GLOBAL INFORMATIONS",
      "",
      "Machine & Environment:",
      "\tComputer name: " + f.computerName,
      "\tUser name: " + f.userName,
      "\tOS Version: " + f.osVersion,
      "",
      "Application:",
      "\tApplication name: " + f.applicationName,
      "\tApplication date: " + f.applicationDate,
      "\tApplication size: " + f.applicationSize,
      "",
      "Version:",
      "\tCompany name: " + ver(TVerInfo::fCompanyName),
      "\tFile description: " + ver(TVerInfo::fFileDescription),
      "\tFile version: " + ver(TVerInfo::fFileVersion),
      "\tInternal name: " + ver(TVerInfo::fInternalName),
      "\tOrigin file name: " + ver(TVerInfo::fOriginalFilename),
      "\tProduct name: " + ver(TVerInfo::fProductName),
      "\tProduct version: " + ver(TVerInfo::fProductVersion),
      "\tLegal copyright: " + ver(TVerInfo::fLegalCopyright),
      "\tLegal trademark: " + ver(TVerInfo::fLegalTrademarks),
      "\tComments: " + ver(TVerInfo::fComments),
      "\tPrivate build: " + ver(TVerInfo::fPrivateBuild),
      "\tSpecial build: " + ver(TVerInfo::fSpecialBuild),
      "",
      "Error:",
      "\tOccurred at: " + f.timeStamp,
      "\tError message: " + error.ErrorMessage,
      "\tException code: " + error.ExceptionCode,
      "\tError code: " + std::to_string(error.ErrorCode),
      "\tError address: " + hexP(error.ErrorAddress),
      "\tCall Stack items count: " + std::to_string(error.CallStackItemCount()),
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
  // A stored text may hold zero characters; the window's memo would end at the first one
  // and hide the rest of the report, so every front end shows them as blanks.
  for (std::string& line : lines) std::replace(line.begin(), line.end(), '\0', ' ');
  return lines;
}

std::unique_ptr<LogDumpNames> LogDumpNames::besideLog(const std::string& logPath,
                                                      const excpack::TExceptionPack& pack,
                                                      std::vector<std::string> mapFolders) {
  const TErrorInfo* error = pack.ErrorInfo();
  if (error == nullptr) return nullptr;
  const std::string dumpPath = minidumpNameForLog(logPath);
  if (dumpPath == logPath + ".dmp") return nullptr;  // not a ".err" name: no dump of it
  std::string ignored;
  std::unique_ptr<Minidump> dump = Minidump::open(dumpPath, ignored);
  // A dump of another crash under the same name would name everything wrong.
  if (dump == nullptr || !dump->hasException || dump->exception.address != error->ErrorAddress)
    return nullptr;
  std::unique_ptr<LogDumpNames> names(new LogDumpNames);
  names->files_ = std::make_unique<DumpModuleFiles>(dumpPath, *dump, std::move(mapFolders));
  names->symbolizer_ = names->files_->makeSymbolizer();
  names->dump_ = std::move(dump);
  return names;
}

LogDumpNames::~LogDumpNames() = default;

std::optional<SymbolInfo> LogDumpNames::names(uint32_t address) {
  const DumpModule* m = dump_->moduleAt(address);
  if (m == nullptr) return std::nullopt;
  return symbolizer_->symbolize(symbolModuleOf(*m), address);
}

std::vector<StackRow> callStackRows(const excpack::TExceptionPack& pack, const TMap* map,
                                    const std::vector<std::string>& moduleNames,
                                    LogDumpNames* dumpNames) {
  std::vector<StackRow> rows;
  const TErrorInfo* error = pack.ErrorInfo();
  const uint32_t codeBase = error ? error->OffsetBase : 0;

  auto locate = [&](uint32_t address) {
    TCodeLocation loc;
    if (map != nullptr) map->lookup(codeBase, address, loc);
    loc.Address = hexP(address);
    return loc;
  };
  // The dump's module names the row; its own map or exports name what the map could not.
  auto nameFromDump = [&](uint32_t address, TCodeLocation& loc, std::string& module) {
    if (dumpNames == nullptr) return;
    std::optional<SymbolInfo> names = dumpNames->names(address);
    if (!names) return;
    if (!names->ModuleName.empty()) module = names->ModuleName;
    if (resolved(loc)) return;
    loc.UnitName = names->UnitName;
    loc.RoutineName = names->RoutineName;
    loc.LineText = names->LineText;
  };

  if (error != nullptr) {
    TCodeLocation loc = locate(error->ErrorAddress);
    std::string module = " ";
    nameFromDump(error->ErrorAddress, loc, module);
    if (resolved(loc)) rows.push_back(locationRow("E:", module, loc));
  }
  rows.push_back(StackRow{});
  if (error == nullptr) return rows;
  const int count = error->CallStackCount();
  for (int i = 0; i < count; ++i) {
    // The container may hold parts of other classes; only items are call stack entries.
    const excpack::TCallStackItem* item = error->CallStackItem(i);
    if (item == nullptr) continue;
    TCodeLocation loc = locate(item->OperationPoint);
    std::string module = size_t(i) < moduleNames.size() ? moduleNames[size_t(i)] : "";
    nameFromDump(item->OperationPoint, loc, module);
    if (!resolved(loc)) continue;
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

}  // namespace ostrel::report
