// ostrel-cli err: the exception log files. "text" shows the component text a log holds,
// "encode" enciphers a component text file into the one-line log form, "report" shows the
// log as the call stack window does.
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "cli/commands.h"
#include "cli/err_report.h"
#include "excpack/er_ce5_tools.h"
#include "excpack/exception_log.h"

namespace ostrel::cli {

namespace {

// Line ends are written as they are: CR LF must not become CR CR LF on Windows.
void writeRaw(const std::string& text) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

int usage() {
  std::fprintf(stderr,
               "usage: ostrel-cli err text FILE\n"
               "       ostrel-cli err encode FILE\n"
               "       ostrel-cli err report FILE [--map MAPFILE] [--modules FILE]\n");
  return 2;
}

int report(const Args& args) {
  std::string file, map, modules;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--map" || a == "--modules") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return usage();
      std::string& target = a == "--map" ? map : modules;
      if (!target.empty()) return usage();
      target = args[++i];
    } else if (file.empty() && !a.empty() && a[0] != '-') {
      file = a;
    } else {
      return usage();
    }
  }
  if (file.empty()) return usage();
  ErrReportOutput result = errReport(file, map, modules);
  std::fputs(result.err.c_str(), stderr);
  std::fwrite(result.out.data(), 1, result.out.size(), stdout);
  std::fflush(stdout);
  return result.exitCode;
}

}  // namespace

int cmdErr(const Args& args) {
  if (!args.empty() && args[0] == "report") return report(args);
  if (args.size() != 2) return usage();
  const std::string& verb = args[0];
  const std::string& file = args[1];
  if (verb != "text" && verb != "encode") return usage();
  excpack::LogFileContent log = excpack::readLogFile(file);
  const std::optional<std::string>& content = log.content;
  if (!content) {
    if (log.error == excpack::openFailedText(file))
      std::fprintf(stderr, "Cannot read %s\n", file.c_str());
    else
      std::fprintf(stderr, "%s\n", log.error.c_str());
    return 1;
  }
  if (verb == "text") {
    std::string text = excpack::textAsLines(*content);
    if (excpack::excLogSettings().encipher) text = excpack::textAsLines(excpack::DecryptText(text));
    writeRaw(text);
    return 0;
  }
  // The stored plaintext is the component text with CR LF line ends.
  writeRaw(excpack::EncryptText(excpack::textAsLines(*content)) + "\r\n");
  return 0;
}

}  // namespace ostrel::cli
