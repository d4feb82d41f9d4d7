// STUB until the details branch lands.
#include "ui/event_save.h"
namespace ostrel::ui {
void TDebugEventSave::saveToText(const std::string&, const std::vector<report::EventRow>&,
                                 const TDbgEventList&, const std::string&) {}
}  // namespace ostrel::ui
