// TDebugEventSave: writes the event list's text export.
#pragma once

#include <string>
#include <vector>

#include "report/event_lines.h"

namespace ostrel {
class TDbgEventList;
}

namespace ostrel::ui {

class TDebugEventSave {
 public:
  /// Writes the export of rows (in the order the list shows them) to fileName, replacing a
  /// file of that name: the title names baseName, the date line the current local date (the
  /// user's short date format) and time (long format); every line ends with CR LF. The text
  /// is built in memory and written in one operation. Throws std::runtime_error naming the
  /// file when it cannot be created or written; no partly written file is left behind.
  void saveToText(const std::string& baseName, const std::vector<report::EventRow>& rows,
                  const TDbgEventList& store, const std::string& fileName);
};

}  // namespace ostrel::ui
