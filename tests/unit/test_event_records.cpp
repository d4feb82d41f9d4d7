#include "engine/event_records.h"

#include <gtest/gtest.h>

#include <thread>

#include "fake_platform.h"

namespace ostrel {
namespace {

using fake::makeEvent;

std::unique_ptr<TDbgEvent> makeDbgEvent(int32_t number, const DebugEventRecord& record,
                                        std::unique_ptr<TDllInfo> dll = nullptr,
                                        std::string details = {}, std::string info = {}) {
  return std::make_unique<TDbgEvent>(number, record, std::move(dll), std::move(details),
                                     std::move(info), TEventCallStack(32));
}

std::unique_ptr<TDbgEvent> makeLoad(int32_t number, Address base, const std::string& name) {
  return makeDbgEvent(number, fake::makeLoadDll(1, 2, 0x44, base, 0, 0),
                      std::make_unique<TDllInfo>(name, 0x44, base, "1,024", "01/02/03", "1.0"));
}

int32_t intAt(const VariantArray& a, size_t i) { return std::get<int32_t>(a.at(i)); }
const std::string& textAt(const VariantArray& a, size_t i) { return std::get<std::string>(a.at(i)); }

TEST(EventCallStack, UnfilledSlotsReadAsEmptyAndOutOfRangeSetsAreIgnored) {
  TEventCallStack stack(32);
  EXPECT_EQ(stack.size(), 32u);
  EXPECT_EQ(stack[0].Address, 0u);
  EXPECT_EQ(stack[31].Address, 0u);
  EXPECT_EQ(stack[1000].Address, 0u);

  stack.set(3, 0x401234, "sample.exe");
  stack.set(32, 0xDEAD, "out.dll");  // one past the end
  EXPECT_EQ(stack[3].Address, 0x401234u);
  EXPECT_EQ(stack[3].Module, "sample.exe");
  EXPECT_EQ(stack[2].Address, 0u);
  EXPECT_EQ(stack[32].Address, 0u);
  EXPECT_EQ(stack.size(), 32u);

  TEventCallStack none;
  none.set(0, 1, "x");
  EXPECT_EQ(none.size(), 0u);
  EXPECT_EQ(none[0].Address, 0u);
}

TEST(EventCallStack, EventTakesTheStackOver) {
  TEventCallStack stack(4);
  stack.set(1, 0x10, "a.dll");
  TDbgEvent event(1, makeEvent(EXCEPTION_DEBUG_EVENT_CODE, 1, 2), nullptr, "", "",
                  std::move(stack));
  EXPECT_EQ(event.CallStack.size(), 4u);
  EXPECT_EQ(event.CallStack[1].Address, 0x10u);
  EXPECT_EQ(event.CallStack[1].Module, "a.dll");
}

TEST(GetDetails, ExceptionLayoutWithNegativeIntegersAndAddressText) {
  auto record = fake::makeException(1, 2, 0xC0000005, 0x00403F1A, true, 1, {0, 0});
  auto event = makeDbgEvent(7, record);
  EXPECT_EQ(event->DetailsArray, nullptr);
  VariantArray a = event->GetDetails();
  ASSERT_EQ(a.size(), 7u);
  EXPECT_EQ(intAt(a, 0), 1);
  EXPECT_EQ(intAt(a, 1), 7);
  EXPECT_EQ(intAt(a, 2), 1);
  EXPECT_EQ(intAt(a, 3), static_cast<int32_t>(0xC0000005));
  EXPECT_LT(intAt(a, 3), 0);
  EXPECT_EQ(intAt(a, 4), 1);
  EXPECT_EQ(intAt(a, 5), 2);
  EXPECT_EQ(textAt(a, 6), "$00403F1A");
  ASSERT_NE(event->DetailsArray, nullptr);
  EXPECT_EQ(*event->DetailsArray, a);
}

TEST(GetDetails, UnknownCodesLeaveTheThirdElementUnassigned) {
  for (uint32_t code : {0u, 10u, 0xFFFFFFFFu}) {
    auto event = makeDbgEvent(1, makeEvent(code, 1, 2));
    VariantArray a = event->GetDetails();
    ASSERT_EQ(a.size(), 3u) << code;
    EXPECT_TRUE(std::holds_alternative<std::monostate>(a[2]));
  }
}

TEST(GetDetails, ProcessAndThreadLayouts) {
  auto cp = fake::makeCreateProcess(0x500, 0x600, 0x100, 0x104, 0x400000, 0x401000, 0x7FFD0020,
                                    1, 0x88);
  cp.u.CreateProcessInfo.lpThreadLocalBase = 0x7FFDE000;
  auto event = makeDbgEvent(1, cp, nullptr, "", "C:\\app\\sample.exe");
  VariantArray a = event->GetDetails();
  ASSERT_EQ(a.size(), 13u);
  EXPECT_EQ(intAt(a, 2), 0x88);
  EXPECT_EQ(intAt(a, 3), 0x100);
  EXPECT_EQ(intAt(a, 4), 0x104);
  EXPECT_EQ(intAt(a, 5), 0x400000);
  EXPECT_EQ(intAt(a, 8), 0x7FFDE000);
  EXPECT_EQ(intAt(a, 9), 0x401000);
  EXPECT_EQ(intAt(a, 10), 0x7FFD0020);
  EXPECT_EQ(intAt(a, 11), 1);
  EXPECT_EQ(textAt(a, 12), "C:\\app\\sample.exe");

  auto ct = makeDbgEvent(2, fake::makeCreateThread(1, 2, 0x120, 0x7FFDD000, 0x401500));
  a = ct->GetDetails();
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(intAt(a, 2), 0x120);
  EXPECT_EQ(intAt(a, 3), 0x7FFDD000);
  EXPECT_EQ(intAt(a, 4), 0x401500);

  auto et = makeDbgEvent(3, fake::makeExitThread(1, 0x6A4, 0xC0000005), nullptr, "", "$000006A4");
  a = et->GetDetails();
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(intAt(a, 2), static_cast<int32_t>(0xC0000005));
  EXPECT_EQ(textAt(a, 3), "$000006A4");

  auto ep = makeDbgEvent(4, fake::makeExitProcess(1, 2, 3), nullptr, "", "C:\\app\\sample.exe");
  a = ep->GetDetails();
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(intAt(a, 2), 3);
  EXPECT_EQ(textAt(a, 3), "C:\\app\\sample.exe");
}

TEST(GetDetails, DllStringAndRipLayouts) {
  auto load = fake::makeLoadDll(1, 2, 0x44, 0x7C800000, 0x7FFDF034, 1);
  load.u.LoadDll.dwDebugInfoFileOffset = 0x11;
  load.u.LoadDll.nDebugInfoSize = 0x22;
  auto event = makeDbgEvent(
      5, load,
      std::make_unique<TDllInfo>("C:\\w\\kernel32.dll", 0x44, 0x7C800000, "1,024", "03/07/05",
                                 "5.1.2600"));
  VariantArray a = event->GetDetails();
  ASSERT_EQ(a.size(), 12u);
  EXPECT_EQ(textAt(a, 2), "C:\\w\\kernel32.dll");
  EXPECT_EQ(textAt(a, 3), "03/07/05");
  EXPECT_EQ(textAt(a, 4), "$7C800000");
  EXPECT_EQ(textAt(a, 5), "5.1.2600");
  EXPECT_EQ(textAt(a, 6), "1,024");
  EXPECT_EQ(intAt(a, 7), 0x44);
  EXPECT_EQ(intAt(a, 8), 0x11);
  EXPECT_EQ(intAt(a, 9), 0x22);
  EXPECT_EQ(intAt(a, 10), 0x7FFDF034);
  EXPECT_EQ(intAt(a, 11), 1);

  auto unload = makeDbgEvent(
      6, fake::makeUnloadDll(1, 2, 0x7C800000),
      std::make_unique<TDllInfo>("C:\\w\\kernel32.dll", 0, 0x7C800000, "", "", ""));
  a = unload->GetDetails();
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(textAt(a, 2), "$7C800000");
  EXPECT_EQ(textAt(a, 3), "C:\\w\\kernel32.dll");

  auto ds = makeDbgEvent(7, fake::makeDebugString(1, 2, 0x00402000, 6, 0), nullptr, "hello");
  a = ds->GetDetails();
  ASSERT_EQ(a.size(), 6u);
  EXPECT_EQ(textAt(a, 2), "hello");
  EXPECT_EQ(intAt(a, 3), 6);
  EXPECT_EQ(intAt(a, 4), 0x00402000);
  EXPECT_EQ(intAt(a, 5), 0);

  auto rip = makeEvent(RIP_EVENT_CODE, 1, 2);
  rip.u.RipInfo = {0x57, 2};
  a = makeDbgEvent(8, rip)->GetDetails();
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(intAt(a, 2), 0x57);
  EXPECT_EQ(intAt(a, 3), 2);
}

TEST(GetDetails, DllEventWithoutRecordGivesEmptyTextsNotACrash) {
  auto event = makeDbgEvent(1, fake::makeUnloadDll(1, 2, 0x10000000));
  VariantArray a = event->GetDetails();
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(textAt(a, 2), "$10000000");
  EXPECT_EQ(textAt(a, 3), "");
}

TEST(EventList, FindByNumberReturnsTheFirstMatch) {
  TDbgEventList list;
  EXPECT_EQ(list.FindByNumber(1), nullptr);
  EXPECT_EQ(list.at(0), nullptr);
  list.append(makeDbgEvent(1, makeEvent(2, 1, 1), nullptr, "first"));
  list.append(makeDbgEvent(2, makeEvent(2, 1, 1), nullptr, "second"));
  list.append(makeDbgEvent(1, makeEvent(2, 1, 1), nullptr, "again"));
  ASSERT_EQ(list.count(), 3u);
  ASSERT_NE(list.FindByNumber(1), nullptr);
  EXPECT_EQ(list.FindByNumber(1)->Details, "first");
  EXPECT_EQ(list.FindByNumber(2)->Details, "second");
  EXPECT_EQ(list.FindByNumber(3), nullptr);
  EXPECT_EQ(list.at(2)->Details, "again");
  EXPECT_EQ(list.at(3), nullptr);
}

TEST(EventList, FindDllByBaseNamesTheLatestLoadAtThatBase) {
  TDbgEventList list;
  list.append(makeLoad(1, 0x10000000, "first.dll"));
  list.append(makeLoad(2, 0x20000000, "other.dll"));
  list.append(makeDbgEvent(3, fake::makeUnloadDll(1, 2, 0x10000000),
                           std::make_unique<TDllInfo>("first.dll", 0, 0x10000000, "", "", "")));
  list.append(makeLoad(4, 0x10000000, "second.dll"));
  // An unload record at the same base is not a load and must not win.
  list.append(makeDbgEvent(5, fake::makeUnloadDll(1, 2, 0x10000000),
                           std::make_unique<TDllInfo>("Unknown", 0, 0x10000000, "", "", "")));

  ASSERT_NE(list.FindDllByBase(0x10000000), nullptr);
  EXPECT_EQ(list.FindDllByBase(0x10000000)->Name, "second.dll");
  EXPECT_EQ(list.FindDllByBase(0x20000000)->Name, "other.dll");
  EXPECT_EQ(list.FindDllByBase(0x30000000), nullptr);
}

TEST(EventList, ClearEventsEmptiesTheListAndItsIndexes) {
  TDbgEventList list;
  list.append(makeLoad(1, 0x10000000, "a.dll"));
  list.append(nullptr);
  EXPECT_EQ(list.count(), 1u);
  list.ClearEvents();
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(list.FindByNumber(1), nullptr);
  EXPECT_EQ(list.FindDllByBase(0x10000000), nullptr);
  list.append(makeLoad(1, 0x10000000, "b.dll"));
  EXPECT_EQ(list.FindDllByBase(0x10000000)->Name, "b.dll");
}

TEST(EventList, PointersStayValidWhileAnotherThreadAppends) {
  TDbgEventList list;
  list.append(makeLoad(1, 0x10000000, "kept.dll"));
  TDbgEvent* first = list.at(0);
  std::thread writer([&] {
    for (int32_t n = 2; n <= 5000; ++n) list.append(makeDbgEvent(n, makeEvent(8, 1, 1)));
  });
  size_t seen = 0;
  while (seen < 5000) {
    seen = list.count();
    if (TDbgEvent* e = list.at(seen - 1)) {
      EXPECT_EQ(e->Number, static_cast<int32_t>(seen));
    }
    EXPECT_EQ(list.FindByNumber(1), first);
  }
  writer.join();
  EXPECT_EQ(first->DllInfo->Name, "kept.dll");
  EXPECT_EQ(list.FindByNumber(5000)->Number, 5000);
}

TEST(NameTables, EventNamesAndChances) {
  const char* names[] = {"Unknown",     "Exception",  "Create thread", "Create process",
                         "Exit thread", "Exit process", "Load Dll",    "Unload Dll",
                         "Output debug string", "Rip info", "Unknown"};
  for (uint32_t code = 0; code <= 10; ++code) EXPECT_EQ(DebugEventName(code), names[code]);
  EXPECT_EQ(DebugEventName(0xFFFFFFFF), "Unknown");

  EXPECT_EQ(ExceptionChanceName(0, true), "Last chance");
  EXPECT_EQ(ExceptionChanceName(0, false), "Last");
  EXPECT_EQ(ExceptionChanceName(1, false), "First");
  EXPECT_EQ(ExceptionChanceName(0x80000000, true), "First chance");
}

}  // namespace
}  // namespace ostrel
