// The report of an exception log, as the call stack window and "ostrel-cli err report" show
// it: the text lines describing the package and the rows of its call stack resolved
// through a map.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "excpack/global_exc_pkg_types.h"
#include "mapfile/map.h"
#include "stack/symbolizer.h"

namespace ostrel {
class Minidump;
}

namespace ostrel::report {

/// One call stack row: No., Address, Module, Unit, Routine, Line.
using StackRow = std::array<std::string, 6>;

/// Where the values of the report lines come from.
enum class ReportValues {
  /// Only what the package holds: a value it lacks is shown empty. For stored logs, which
  /// must never show the viewing program's or machine's own name, size, version or clock.
  StoredOnly,
  /// The package's getters, which fill an empty value from the running program.
  FillFromProgram,
};

/// The 47 report lines of a package (tabs kept, no line ends).
std::vector<std::string> reportLines(excpack::TExceptionPack& pack, ReportValues values);

class DumpModuleFiles;

/// Names the addresses of a log through the minidump written with it (NAME.dmp beside
/// NAME.err): the module of the dump that holds an address, and its unit, routine and line
/// through that module's map or export table. The log holds the executable's code base
/// only; the dump knows every module.
class LogDumpNames {
 public:
  /// The readable dump beside the log at logPath that belongs to the same crash (its
  /// exception lies at the log's error address); nullptr when there is none. Maps are
  /// looked for beside the dump, in mapFolders, and beside each module's recorded file.
  static std::unique_ptr<LogDumpNames> besideLog(const std::string& logPath,
                                                 const excpack::TExceptionPack& pack,
                                                 std::vector<std::string> mapFolders = {});
  ~LogDumpNames();

  /// The names of address; nullopt when no module of the dump holds it.
  std::optional<SymbolInfo> names(uint32_t address);

 private:
  LogDumpNames() = default;
  std::unique_ptr<Minidump> dump_;
  std::unique_ptr<DumpModuleFiles> files_;
  std::unique_ptr<Symbolizer> symbolizer_;
};

/// The rows of the call stack list: the "E:" row of the error address when it resolves,
/// the separator row, then one row per resolved item numbered by its item index, each
/// looked up with the package's OffsetBase as the code base (the map is not changed).
/// Without a map only the separator remains. moduleNames[i] names the module of item i
/// (blank when missing). With dumpNames, the dump's module holding an address names the
/// Module column, and an address the map leaves unresolved (one in a DLL) is named
/// through that module's own map or exports.
std::vector<StackRow> callStackRows(const excpack::TExceptionPack& pack, const TMap* map,
                                    const std::vector<std::string>& moduleNames,
                                    LogDumpNames* dumpNames = nullptr);

/// The cells of a row joined by tabs.
std::string rowText(const StackRow& row);

/// The lines of a text (CR LF, LF or CR ends); no entry after a final line end.
std::vector<std::string> splitLines(std::string_view text);

}  // namespace ostrel::report
