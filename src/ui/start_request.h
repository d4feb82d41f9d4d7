// What ostrel.exe was asked to do at start-up, read from its command line:
//   ostrel.exe [--errdir DIR] [--run EXE [ARGS...]]
//   ostrel.exe LOGFILE.err | DUMPFILE.dmp
#pragma once

#include <string>
#include <vector>

namespace ostrel::ui {

struct StartRequest {
  bool run = false;
  std::string exe;
  /// The debuggee's arguments as one command-line tail, each quoted so that the debuggee
  /// reads back exactly the arguments Ostrel was given.
  std::string parameters;
  std::string errorDir = ".";
  std::string log;  // a stored exception log (.err) or a minidump (.dmp) to show
};

/// args: the program's arguments without its own name.
StartRequest parseStartRequest(const std::vector<std::string>& args);

}  // namespace ostrel::ui
