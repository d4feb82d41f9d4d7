// The call stack as lines for tools: one entry a line, a tab, then seven tab-separated
// fields: No. ("E:" for the exception address, then 0, 1, ... innermost first), "$" and
// the address in eight upper-case hexadecimal digits, the module's file name, unit,
// routine, line and how the entry was found. Empty fields stay empty.
#pragma once

#include <cstdint>
#include <string>

#include "engine/event_records.h"
#include "stack/stack_walker.h"
#include "stack/symbolizer.h"

namespace ostrel::report {

struct StackLine {
  int32_t number = 0;  // -1 for the exception address
  uint32_t address = 0;
  SymbolInfo names;  // module, unit, routine, line
  FoundBy foundBy = FoundBy::Scan;
};

/// One line, ended by "\n". Tabs and line breaks inside a field become blanks, so every
/// line keeps its seven fields.
std::string stackLine(const StackLine& line);

/// Every listed entry of a call stack, each named through the symbolizer (an entry whose
/// module is known by name only keeps just that name).
std::string stackLines(const TEventCallStack& stack, Symbolizer& symbolizer);

}  // namespace ostrel::report
