// STUB until the details branch lands.
#pragma once
#include <string>
#include <vector>

#include "engine/event_records.h"
#include "report/event_lines.h"
namespace ostrel::ui {
class TDebugEventSave {
 public:
  void saveToText(const std::string& baseName, const std::vector<report::EventRow>& rows,
                  const TDbgEventList& store, const std::string& fileName);
};
}  // namespace ostrel::ui
