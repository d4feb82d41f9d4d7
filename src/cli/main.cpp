// ostrel-cli: Ostrel's console front end and headless mode.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "common/format.h"
#include "excpack/exc_pkg_system.h"
#include "report/program_lifetime.h"

#ifdef _WIN32
#include "platform/win32/win32_host_system.h"
#endif

namespace {

const char kUsage[] =
    "usage: ostrel-cli run [--depth N] [--break-stacks] [--stacks] [--errdir DIR]\n"
    "                      [--dump none|normal|full] [--handoff] EXE [ARGS...]\n"
    "       ostrel-cli attach PID [--for SECONDS] [--handoff]\n"
    "       ostrel-cli dump PID FILE.dmp [--full]\n"
    "       ostrel-cli dump report FILE.dmp [--maps DIR]...\n"
    "       ostrel-cli map MAPFILE [--base HEX] [--stats] [ADDR...]\n"
    "       ostrel-cli err text FILE\n"
    "       ostrel-cli err encode FILE\n"
    "       ostrel-cli err report FILE [--map MAPFILE] [--modules FILE]\n"
    "\n"
    "--handoff: the session's notifications reach this program's main thread through a\n"
    "message-only window, the way they reach the main window of ostrel.exe.\n"
    "--stacks: after each exception, its call stack, one entry a line: a tab, then No.,\n"
    "address, module, unit, routine, line and how the entry was found (context, frame,\n"
    "call or scan), tab-separated.\n"
    "--dump: the minidump written beside each last-chance exception's log (NAME.dmp\n"
    "beside NAME.err): none, normal (every thread with its stack and the module list; the\n"
    "default) or full (all the process's memory as well).\n"
    "dump: attaches to a running process, writes a minidump of every thread (--full: and\n"
    "all of its memory) to a new file, detaches; the process runs on.\n"
    "dump report: the system, the exception, each thread's call stack (the crashed thread\n"
    "first; the seven fields of --stacks) and the modules of any minidump. Module files\n"
    "and maps are looked for beside the dump, in each --maps folder and where the dump\n"
    "says the module was loaded from.\n";

int run(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string command = argv[1];
  ostrel::cli::Args args(argv + 2, argv + argc);
  if (command == "run") return ostrel::cli::cmdRun(args);
  if (command == "attach") return ostrel::cli::cmdAttach(args);
  if (command == "dump") return ostrel::cli::cmdDump(args);
  if (command == "err") {
    // Reading a log needs the package's classes; its start-up reads this program's own
    // version block, never shown in a report.
#ifdef _WIN32
    ostrel::Win32HostSystem system;
#else
    ostrel::excpack::PortableExcPkgSystem system;
#endif
    ostrel::report::PackageLifetime package(system);
    return ostrel::cli::cmdErr(args);
  }
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

}  // namespace

int main(int argc, char** argv) {
  // An exception that escaped a command ends it with its reason, never with the
  // runtime's abort.
  try {
    return run(argc, argv);
  } catch (...) {
    std::fprintf(stderr, "error: %s\n", ostrel::currentExceptionText().c_str());
    return 1;
  }
}
