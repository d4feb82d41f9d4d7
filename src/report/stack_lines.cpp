#include "report/stack_lines.h"

#include <cstdio>

#include "engine/stack_listing.h"

namespace ostrel::report {
namespace {

void appendField(std::string& out, const std::string& text) {
  out += '\t';
  for (char c : text) out += (c == '\t' || c == '\r' || c == '\n') ? ' ' : c;
}

}  // namespace

std::string stackLine(const StackLine& line) {
  std::string out;
  appendField(out, stackEntryNumberText(line.number));
  char address[16];
  std::snprintf(address, sizeof address, "$%08X", static_cast<unsigned>(line.address));
  appendField(out, address);
  appendField(out, line.names.ModuleName);
  appendField(out, line.names.UnitName);
  appendField(out, line.names.RoutineName);
  appendField(out, line.names.LineText);
  appendField(out, foundByName(line.foundBy));
  out += '\n';
  return out;
}

std::string stackLines(const TEventCallStack& stack, Symbolizer& symbolizer) {
  std::string out;
  StackEntryNumbers numbers;
  for (const TListedStackEntry& entry : stack.listed()) {
    StackLine line;
    line.number = numbers.next(entry);
    line.address = entry.Address;
    line.foundBy = entry.foundBy;
    if (entry.Image && entry.Image->Base != 0)
      line.names = symbolizer.symbolize(*entry.Image, entry.Address);
    else
      line.names.ModuleName = entry.moduleName();
    out += stackLine(line);
  }
  return out;
}

}  // namespace ostrel::report
