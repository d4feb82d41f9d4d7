// The listed call stack: the raw scan's entries all kept in their order, the walk's
// verified frames placed between them, a recursion's repeated return address kept.
#include <gtest/gtest.h>

#include "engine/stack_listing.h"

namespace ostrel {
namespace {

std::string describe(const std::vector<TListedStackEntry>& listed) {
  std::string text;
  StackEntryNumbers numbers;
  for (const TListedStackEntry& e : listed) {
    char line[64];
    std::snprintf(line, sizeof line, "%s %X %s %d %s\n",
                  stackEntryNumberText(numbers.next(e)).c_str(), e.Address,
                  foundByName(e.foundBy), e.RawIndex, e.moduleName().c_str());
    text += line;
  }
  return text;
}

TEST(StackListing, KeepsEveryRawEntryAndPlacesTheVerifiedFramesBetween) {
  auto image = std::make_shared<const SymbolModule>(SymbolModule{"C:\\app\\app.exe", 0x400000, 0});
  auto imageOf = [&](Address a) { return a == 0x666 ? nullptr : image; };
  // Walk (stack order): context, a frameless caller confirmed by its call, a stale hit,
  // a frame, the same return address one frame higher (a recursion; the raw scan lists
  // a direct repeat once), and a frame above the raw scan's last entry.
  const std::vector<StackEntry> walked = {
      {0x401000, 0x1000, FoundBy::Context}, {0x401100, 0x1010, FoundBy::Call},
      {0x401200, 0x1020, FoundBy::Scan},    {0x401300, 0x1030, FoundBy::Frame},
      {0x401400, 0x1040, FoundBy::Scan},    {0x401400, 0x1048, FoundBy::Frame},
      {0x401500, 0x1050, FoundBy::Frame}};
  // Raw scan from position 1 (first chance): it skipped the call at 0x401100, holds one
  // entry the walk did not see (0x666, in no module), and lists 0x401400 once.
  const std::vector<RawStackItem> raw = {{1, 0x401200}, {2, 0x666}, {3, 0x401300}, {4, 0x401400}};
  const auto listed = listStack(0x401000, walked, raw, imageOf, 8);
  EXPECT_EQ(describe(listed),
            "E: 401000 context -1 app.exe\n"
            "0 401100 call -1 app.exe\n"
            "1 401200 scan 1 app.exe\n"
            "2 666 scan 2 \n"
            "3 401300 frame 3 app.exe\n"
            "4 401400 scan 4 app.exe\n"
            "5 401400 frame -1 app.exe\n"
            "6 401500 frame -1 app.exe\n");

  // The event keeps the raw slots readable by position (up to its depth) beside the list.
  TEventCallStack stack(4);
  stack.setListed(listed);
  EXPECT_EQ(stack.filled(), 3u);
  EXPECT_EQ(stack[0].Address, 0u);
  EXPECT_EQ(stack[2].Address, 0x666u);
  EXPECT_EQ(stack[3].Module, "app.exe");
  EXPECT_EQ(stack[4].Address, 0u);  // beyond the depth

  // A thread that could not be walked: the raw scan alone, after the exception address.
  // Above the raw list, verified entries only while the list is short of the limit.
  EXPECT_EQ(listStack(0x401000, walked, raw, imageOf, 7).size(), 8u);
  EXPECT_EQ(listStack(0x401000, walked, raw, imageOf, 6).size(), 7u);
  EXPECT_EQ(describe(listStack(0x401000, {}, raw, imageOf, 8)),
            "E: 401000 context -1 app.exe\n"
            "0 401200 scan 1 app.exe\n"
            "1 666 scan 2 \n"
            "2 401300 scan 3 app.exe\n"
            "3 401400 scan 4 app.exe\n");
}

}  // namespace
}  // namespace ostrel
