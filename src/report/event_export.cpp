#include "report/event_export.h"

#include <charconv>

#include "engine/event_records.h"

namespace ostrel::report {

namespace {

// The whole cell must be a number: a cell that merely starts with digits names no event.
const TDbgEvent* findRowEvent(const std::string& number, const TDbgEventList& store) {
  int32_t value = 0;
  const char* end = number.data() + number.size();
  auto [next, error] = std::from_chars(number.data(), end, value);
  if (number.empty() || error != std::errc() || next != end) return nullptr;
  return store.FindByNumber(value);
}

}  // namespace

std::vector<std::string> eventExportLines(const std::string& baseName, const std::string& dateText,
                                          const std::vector<EventRow>& rows,
                                          const TDbgEventList& store) {
  std::vector<std::string> lines;
  lines.reserve(rows.size() + 3);
  lines.push_back(baseName + " DEBUG EVENTS");
  lines.push_back("Date: " + dateText);
  lines.emplace_back();
  for (const EventRow& row : rows) {
    lines.push_back(exportLine(row));
    const TDbgEvent* record = findRowEvent(row.number, store);
    if (record != nullptr && record->DebugEvent.dwDebugEventCode == EXCEPTION_DEBUG_EVENT_CODE)
      lines.push_back(exceptionLine(record->Info));
  }
  return lines;
}

}  // namespace ostrel::report
