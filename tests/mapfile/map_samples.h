// Small hand-written maps in the linker's layout, and helpers shared by the map tests.
#pragma once

#include <string>
#include <vector>

#include "mapfile/map.h"
#include "mapfile/map_feedback.h"

namespace ostrel::test {

// Two code units and a data entry of Unit1; four publics; one line block.
inline const char kSmallMap[] =
    "\r\n"
    " Start         Length     Name                   Class\r\n"
    " 0001:00000000 00000200H .text                   CODE\r\n"
    "\r\n"
    "\r\n"
    "Detailed map of segments\r\n"
    "\r\n"
    " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=System   ACBP=A9\r\n"
    " 0001:00000100 00000080 C=CODE     S=.text    G=(none)   M=Unit1    ACBP=A9\r\n"
    " 0002:00000000 00000010 C=DATA     S=.data    G=DGROUP   M=Unit1    ACBP=A9\r\n"
    "\r\n"
    "\r\n"
    "  Address         Publics by Value\r\n"
    "\r\n"
    " 0001:00000000       Alpha\r\n"
    " 0001:00000040       Beta\r\n"
    " 0001:00000100       Gamma\r\n"
    " 0001:00000150       Delta\r\n"
    "\r\n"
    "\r\n"
    "Line numbers for Unit1(C:\\src\\Unit1.pas) segment .text\r\n"
    "\r\n"
    "    10 0001:00000100    11 0001:00000110    12 0001:00000120    14 0001:00000170\r\n"
    "\r\n"
    "Bound resource files\r\n"
    "\r\n"
    "Program entry point at 0001:00000100\r\n";

inline TMap mapFromText(const std::string& text) {
  TMap map;
  map.MapText.setText(text);
  map.Loaded = true;
  return map;
}

// Records what the loader shows the user and serves a scripted clock.
class RecordingFeedback : public TMapFeedback {
 public:
  int waits = 0;
  int depth = 0;
  std::vector<std::string> errors;
  std::vector<uint64_t> clock;  // successive readings; the last repeats

  void beginWait() override {
    ++waits;
    ++depth;
  }
  void endWait() override { --depth; }
  void showError(const std::string& text) override { errors.push_back(text); }
  uint64_t nowMilliseconds() override {
    if (clock.empty()) return 0;
    uint64_t v = clock.front();
    if (clock.size() > 1) clock.erase(clock.begin());
    return v;
  }
};

// Installs a feedback for the lifetime of a test.
class ScopedFeedback {
 public:
  explicit ScopedFeedback(TMapFeedback& f) { setMapFeedback(&f); }
  ~ScopedFeedback() { setMapFeedback(nullptr); }
  ScopedFeedback(const ScopedFeedback&) = delete;
  ScopedFeedback& operator=(const ScopedFeedback&) = delete;
};

}  // namespace ostrel::test
