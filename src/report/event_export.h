// The lines of the event list's text export, built from the rows as the list shows them.
#pragma once

#include <string>
#include <vector>

#include "report/event_lines.h"

namespace ostrel {
class TDbgEventList;
}

namespace ostrel::report {

/// The export, line by line without line ends: the title "<baseName> DEBUG EVENTS",
/// "Date: " + dateText, an empty line, then each row's exportLine, followed by its
/// exceptionLine when the row's number finds an exception record in store. Rows whose
/// number is not a decimal number or is unknown to the store get no second line.
std::vector<std::string> eventExportLines(const std::string& baseName, const std::string& dateText,
                                          const std::vector<EventRow>& rows,
                                          const TDbgEventList& store);

}  // namespace ostrel::report
