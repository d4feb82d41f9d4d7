// The event list's text export, line by line.
#include <gtest/gtest.h>

#include "engine/event_records.h"
#include "fake_platform.h"
#include "report/event_export.h"

namespace ostrel::report {
namespace {

using Lines = std::vector<std::string>;

void record(TDbgEventList& store, int32_t number, const DebugEventRecord& event, std::string info) {
  store.append(
      std::make_unique<TDbgEvent>(number, event, nullptr, "", std::move(info), TEventCallStack(0)));
}

TEST(EventExport, OneOtherEventGivesExactlyFourLines) {
  TDbgEventList store;
  const auto thread = fake::makeCreateThread(0x10, 0x20, 0x44, 0x7FFDE000, 0x401000);
  record(store, 1, thread, "");
  const Lines lines = eventExportLines("C:\\app\\prog.exe", "12/08/2026 13:14:15",
                                       {eventRow(1, thread, "Local base $7FFDE000")}, store);
  EXPECT_EQ(lines, (Lines{"C:\\app\\prog.exe DEBUG EVENTS", "Date: 12/08/2026 13:14:15", "",
                          "1 $00000010 $00000020 Create thread Local base $7FFDE000"}));
}

TEST(EventExport, ExceptionRowsGetTheirDescriptionFromTheStore) {
  TDbgEventList store;
  const auto fault = fake::makeException(0x10, 0x20, 0xC0000005, 0x401234, true);
  const auto breakpoint = fake::makeException(0x10, 0x20, 0x80000003, 0x7BC56490, false);
  const auto text = fake::makeDebugString(0x10, 0x20, 0x402000, 6, 0);
  record(store, 1, fault, "Access violation in prog.exe");
  record(store, 2, breakpoint, "");  // no description: the line keeps its blank
  record(store, 3, text, "not an exception");
  record(store, 5, fault, "never listed");
  const std::vector<EventRow> rows = {
      eventRow(1, fault, "Addr:$00401234 Err:$00000000"),
      eventRow(2, breakpoint, "Addr:$7BC56490 Err:$00000000"),
      eventRow(3, text, ""),  // empty Information: still five fields
      eventRow(4, fault, "row without a record"),
      EventRow{"5x", "Exception - First chance", "a number with a tail", "$00000010", "$00000020"},
  };
  const Lines lines = eventExportLines("prog.exe", "d", rows, store);
  EXPECT_EQ(lines,
            (Lines{
                "prog.exe DEBUG EVENTS",
                "Date: d",
                "",
                "1 $00000010 $00000020 Exception - First chance Addr:$00401234 Err:$00000000",
                "Exception Access violation in prog.exe",
                "2 $00000010 $00000020 Exception - Last chance Addr:$7BC56490 Err:$00000000",
                "Exception ",
                "3 $00000010 $00000020 Output debug string ",
                "4 $00000010 $00000020 Exception - First chance row without a record",
                "5x $00000010 $00000020 Exception - First chance a number with a tail",
            }));
}

}  // namespace
}  // namespace ostrel::report
