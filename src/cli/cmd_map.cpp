// ostrel-cli map: loads a linker map and names code addresses by unit, routine and line.
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "common/format.h"
#include "mapfile/map.h"
#include "mapfile/map_feedback.h"
#include "mapfile/map_tokens.h"

namespace ostrel::cli {

namespace {

// The usual base of code of a 32-bit Delphi executable.
constexpr uint32_t kDefaultCodeBase = 0x00401000;

// The console has no hourglass and no message box: errors go to stderr.
class ConsoleFeedback : public TMapFeedback {
 public:
  void showError(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
};

// Hexadecimal with an optional "$" or "0x" in front.
bool readAddress(std::string_view text, uint32_t& value) {
  text = trimText(text);
  if (!text.empty() && text[0] == '$')
    text.remove_prefix(1);
  else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  return tryReadHex(text, value);
}

void printLocation(TMap& map, uint32_t address) {
  TCodeLocation location;
  map.lookup(address, location);
  std::string out = hexP(address);
  out += '\t';
  out += location.UnitName;
  out += '\t';
  out += location.RoutineName;
  out += '\t';
  out += location.LineText;
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
}

int usage() {
  std::fputs("usage: ostrel-cli map MAPFILE [--base HEX] [--stats] [ADDR...]\n", stderr);
  return 2;
}

}  // namespace

int cmdMap(const Args& args) {
  std::string path;
  uint32_t codeBase = kDefaultCodeBase;
  bool stats = false;
  Args addresses;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--base") {
      if (i + 1 >= args.size() || !readAddress(args[i + 1], codeBase)) {
        std::fprintf(stderr, "ostrel-cli map: --base needs a hexadecimal address\n");
        return usage();
      }
      ++i;
    } else if (a == "--stats") {
      stats = true;
    } else if (path.empty()) {
      path = a;
    } else {
      addresses.push_back(a);
    }
  }
  if (path.empty()) return usage();

  TMap map;
  map.loadMapFile(path);
  if (!map.Loaded) {
    std::fprintf(stderr, "ostrel-cli map: cannot read map file '%s'\n", path.c_str());
    return 1;
  }
  ConsoleFeedback feedback;
  setMapFeedback(&feedback);
  bool parsed = map.loadSymbols();
  setMapFeedback(nullptr);
  if (!parsed) return 1;
  map.CodeBase = codeBase;

  if (stats) {
    size_t lines = 0;
    for (size_t t = 0; t < map.LineTables.size(); ++t) lines += map.LineTables.lines(t).size();
    std::printf("units %zu\nroutines %zu\nline-tables %zu\nlines %zu\n", map.Units.size(),
                map.Routines.size(), map.LineTables.size(), lines);
  }

  int result = 0;
  auto resolve = [&](std::string_view text) {
    uint32_t address = 0;
    if (!readAddress(text, address)) {
      std::fprintf(stderr, "ostrel-cli map: not a hexadecimal address: '%.*s'\n",
                   static_cast<int>(text.size()), text.data());
      result = 1;
      return;
    }
    printLocation(map, address);
  };
  if (!addresses.empty()) {
    for (const std::string& a : addresses) resolve(a);
  } else if (!stats) {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (trimText(line).empty()) continue;
      resolve(line);
    }
  }
  std::fflush(stdout);
  return result;
}

}  // namespace ostrel::cli
