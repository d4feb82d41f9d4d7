// The report of an exception log, as the call stack window and "ostrel-cli err report" show
// it: the text lines describing the package and the rows of its call stack resolved
// through a map.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "excpack/global_exc_pkg_types.h"
#include "mapfile/map.h"

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

/// The rows of the call stack list: the "E:" row of the error address when it resolves,
/// the separator row, then one row per resolved item numbered by its item index, each
/// looked up with the package's OffsetBase as the code base (the map is not changed).
/// Without a map only the separator remains. moduleNames[i] names the module of item i
/// (blank when missing).
std::vector<StackRow> callStackRows(const excpack::TExceptionPack& pack, const TMap* map,
                                    const std::vector<std::string>& moduleNames);

/// The cells of a row joined by tabs.
std::string rowText(const StackRow& row);

/// The lines of a text (CR LF, LF or CR ends); no entry after a final line end.
std::vector<std::string> splitLines(std::string_view text);

}  // namespace ostrel::report
