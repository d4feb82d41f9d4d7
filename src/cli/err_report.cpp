#include "cli/err_report.h"

#include <optional>

#include "excpack/exc_pkg_system.h"
#include "excpack/exception_log.h"
#include "mapfile/map_feedback.h"
#include "report/log_report.h"

namespace ostrel::cli {

namespace {

// The loader's error box becomes the report's error text.
class CollectingFeedback : public TMapFeedback {
 public:
  std::string errors;
  void showError(const std::string& text) override { errors += text + "\n"; }
};

}  // namespace

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
    auto text = excpack::getLogFileStore().read(modulesPath);
    if (!text) return fail("Cannot read module list " + modulesPath);
    moduleNames = report::splitLines(*text);
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
      result.err =
          feedback.errors.empty() ? "Cannot parse map file " + mapPath + "\n" : feedback.errors;
      return result;
    }
  }

  excpack::ReadLogResult log = excpack::readExceptionLog(logPath);
  if (!log.pack) return fail(log.error);

  for (const std::string& line : report::reportLines(*log.pack, report::ReportValues::StoredOnly))
    result.out += line + "\n";
  // The minidump written with the log names the modules of its stack and the DLL frames.
  std::vector<std::string> mapFolders;
  if (const size_t slash = mapPath.find_last_of("\\/"); slash != std::string::npos)
    mapFolders.push_back(mapPath.substr(0, slash));
  std::unique_ptr<report::LogDumpNames> dumpNames =
      report::LogDumpNames::besideLog(logPath, *log.pack, std::move(mapFolders));
  for (const report::StackRow& row :
       report::callStackRows(*log.pack, map ? &*map : nullptr, moduleNames, dumpNames.get()))
    result.out += report::rowText(row) + "\n";
  return result;
}

}  // namespace ostrel::cli
