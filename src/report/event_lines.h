// The texts of one row of the event list and the lines of its text export, shared by the
// window and "ostrel-cli run".
#pragma once

#include <cstdint>
#include <string>

#include "platform/debug_records.h"

namespace ostrel::report {

/// The cells of an event list row.
struct EventRow {
  std::string number;       // "No.": the event number in decimal
  std::string event;        // "Event": the event name; an exception adds " - " and its chance
  std::string information;  // "Information": the event's details (event codes 1 to 9)
  std::string pid;          // "PID.": "$%p" of the process id
  std::string tid;          // "TID.": "$%p" of the thread id
};

EventRow eventRow(int32_t number, const DebugEventRecord& event, const std::string& details);

/// One line of the export: number, PID., TID., Event and Information, joined by blanks.
std::string exportLine(const EventRow& row);

/// The line that follows an exception row: "Exception " and its description.
std::string exceptionLine(const std::string& description);

}  // namespace ostrel::report
