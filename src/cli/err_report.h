// The report of an exception log: the text lines describing the package and the rows of
// its call stack resolved through a map, as the call stack window shows them.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "excpack/global_exc_pkg_types.h"
#include "mapfile/map.h"

namespace ostrel::cli {

/// One call stack row: No., Address, Module, Unit, Routine, Line.
using StackRow = std::array<std::string, 6>;

/// The 47 report lines of a package (tabs kept, no line ends). Values the package lacks are
/// shown empty (0 for the size, "Unknown" for the user): they are never taken from the
/// program or machine doing the reporting.
std::vector<std::string> reportLines(excpack::TExceptionPack& pack);

/// The rows of the call stack list: the "E:" row of the error address when it resolves,
/// the separator row, then one row per resolved item numbered by its item index. The map's
/// CodeBase is set to the package's OffsetBase; without a map only the separator remains.
/// moduleNames[i] names the module of item i (blank when missing).
std::vector<StackRow> callStackRows(const excpack::TExceptionPack& pack, TMap* map,
                                    const std::vector<std::string>& moduleNames);

/// The cells of a row joined by tabs.
std::string rowText(const StackRow& row);

/// The lines of a text (CR LF, LF or CR ends); no entry after a final line end.
std::vector<std::string> splitLines(std::string_view text);

struct ErrReportOutput {
  int exitCode = 0;  // 0, or 1 for a file that cannot be used
  std::string out;   // report lines, then rows, each ended by "\n"
  std::string err;   // the error text, ended by "\n"
};

/// The whole "err report": reads the log (and the map and module list when their paths are
/// not empty) and renders the report or the error.
ErrReportOutput errReport(const std::string& logPath, const std::string& mapPath,
                          const std::string& modulesPath);

}  // namespace ostrel::cli
