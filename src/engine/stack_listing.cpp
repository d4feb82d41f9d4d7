#include "engine/stack_listing.h"

namespace ostrel {

std::string stackEntryNumberText(int32_t number) {
  return number < 0 ? std::string("E:") : std::to_string(number);
}

std::vector<TListedStackEntry> listStack(Address exceptionAddress,
                                         const std::vector<StackEntry>& walked,
                                         const std::vector<RawStackItem>& raw,
                                         const ImageOfFunction& imageOf, size_t limit) {
  std::vector<TListedStackEntry> out;
  out.reserve(raw.size() + 1);
  out.push_back({exceptionAddress, FoundBy::Context, true, -1, imageOf(exceptionAddress)});

  // A verified entry repeating the address of the one before it stays: the raw scan lists
  // a value once however often it repeats, but a recursion leaves one frame per call.
  auto addVerified = [&](const StackEntry& entry) {
    if (entry.foundBy == FoundBy::Scan || entry.foundBy == FoundBy::Context) return;
    out.push_back({entry.address, entry.foundBy, false, -1, imageOf(entry.address)});
  };

  size_t next = 0;  // the first walked entry not yet passed
  if (!walked.empty() && walked.front().foundBy == FoundBy::Context) next = 1;
  for (const RawStackItem& item : raw) {
    size_t at = next;
    while (at < walked.size() && walked[at].address != item.address) ++at;
    FoundBy label = FoundBy::Scan;
    if (at < walked.size()) {
      for (; next < at; ++next) addVerified(walked[next]);
      label = walked[at].foundBy == FoundBy::Context ? FoundBy::Scan : walked[at].foundBy;
      next = at + 1;
    }
    out.push_back({item.address, label, false, item.index, imageOf(item.address)});
  }
  for (; next < walked.size() && out.size() - 1 < limit; ++next) addVerified(walked[next]);
  return out;
}

}  // namespace ostrel
