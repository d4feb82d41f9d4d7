// ostrel-cli: Ostrel's console front end and headless mode.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/commands.h"

namespace {

const char kUsage[] =
    "usage: ostrel-cli run [--depth N] [--break-stacks] [--errdir DIR] EXE [ARGS...]\n"
    "       ostrel-cli attach PID [--for SECONDS]\n"
    "       ostrel-cli map MAPFILE [--base HEX] [--stats] [ADDR...]\n"
    "       ostrel-cli err text FILE\n"
    "       ostrel-cli err encode FILE\n"
    "       ostrel-cli err report FILE [--map MAPFILE] [--modules FILE]\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string command = argv[1];
  ostrel::cli::Args args(argv + 2, argv + argc);
  if (command == "run") return ostrel::cli::cmdRun(args);
  if (command == "attach") return ostrel::cli::cmdAttach(args);
  if (command == "err") return ostrel::cli::cmdErr(args);
#ifdef OSTREL_HAVE_MAP
  if (command == "map") return ostrel::cli::cmdMap(args);
#endif
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fprintf(stderr, "ostrel-cli: unknown command '%s'\n%s", command.c_str(), kUsage);
  return 2;
}
