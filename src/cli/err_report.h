// ostrel-cli err report: reads a log (and a map and a module list) and renders what the
// call stack window shows of it.
#pragma once

#include <string>

namespace ostrel::cli {

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
