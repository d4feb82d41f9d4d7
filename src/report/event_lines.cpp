#include "report/event_lines.h"

#include "common/format.h"
#include "engine/event_records.h"

namespace ostrel::report {

EventRow eventRow(int32_t number, const DebugEventRecord& event, const std::string& details) {
  EventRow row;
  const uint32_t code = event.dwDebugEventCode;
  row.number = std::to_string(number);
  row.event = DebugEventName(code);
  if (code == EXCEPTION_DEBUG_EVENT_CODE)
    row.event += " - " + ExceptionChanceName(event.u.Exception.dwFirstChance, true);
  if (code >= 1 && code <= 9) row.information = details;
  row.pid = hexP(event.dwProcessId);
  row.tid = hexP(event.dwThreadId);
  return row;
}

std::string exportLine(const EventRow& row) {
  return row.number + " " + row.pid + " " + row.tid + " " + row.event + " " + row.information;
}

std::string exceptionLine(const std::string& description) { return "Exception " + description; }

}  // namespace ostrel::report
