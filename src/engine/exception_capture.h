// Capture of a last-chance exception into an exception package stored as a log file.
#pragma once

#include <cstdint>
#include <string>

#include "engine/event_records.h"
#include "platform/debug_records.h"

namespace ostrel {

struct LastChanceCapture {
  const DebugEventRecord* event = nullptr;
  const TCallStack* stack = nullptr;  // the raw scan, most recent call first
  int32_t count = 0;                  // entries of the scan (a failed scan counts 0)
  const ThreadContext* context = nullptr;
  Address offsetBase = 0;  // start of the debuggee's code section
  std::string exePath;     // the debuggee's executable as the session was given it
  std::string imagePath;   // its full path as the system reports it; empty if unknown
  std::string errorDir;    // folder of the session's logs
};

/// Builds the package of a last-chance exception and stores it as a log file in the
/// session's folder. Returns the log's full name, empty when nothing was stored. The
/// application and version parts describe the debuggee, not the debugger.
std::string storeLastChancePackage(const LastChanceCapture& capture);

/// The minidump that belongs to a stored log: the same folder and stem, extension ".dmp"
/// (appended when the log's name has no ".err").
std::string minidumpNameForLog(const std::string& logName);

}  // namespace ostrel
