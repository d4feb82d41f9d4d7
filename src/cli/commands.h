// The sub-commands of ostrel-cli. Each takes the arguments after its name and returns
// the process exit code (2 for usage errors).
#pragma once

#include <string>
#include <vector>

namespace ostrel::cli {

using Args = std::vector<std::string>;

int cmdRun(const Args& args);
int cmdAttach(const Args& args);
int cmdMap(const Args& args);
int cmdErr(const Args& args);
int cmdDump(const Args& args);

}  // namespace ostrel::cli
