// The call stack an event shows: the raw scan's entries and the frames the walk verified,
// merged in stack order, each saying how it was found.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "engine/event_records.h"
#include "stack/stack_walker.h"

namespace ostrel {

/// An entry of the raw scan as the event keeps it: its position in the scan's list and
/// the return address.
struct RawStackItem {
  int32_t index = 0;
  Address address = 0;
};

/// The module holding an address for naming, null when none does.
using ImageOfFunction = std::function<std::shared_ptr<const SymbolModule>(Address)>;

/// Lists a stack: the exception address (`exceptionAddress`, marked Context), then every
/// raw item in its order, and between them the walk's `context`, `frame` and `call`
/// entries that no raw item stands for, in stack order. `walked` is the walker's merged
/// list (empty when the thread could not be walked). A raw item takes the label of the
/// walked entry with its address at the next place in stack order; a raw item the walk did
/// not see stays `scan` after the one before it, so none is ever lost. Verified entries above
/// the last raw item are listed while the list (the exception address aside) holds fewer
/// than `limit` entries.
std::vector<TListedStackEntry> listStack(Address exceptionAddress,
                                         const std::vector<StackEntry>& walked,
                                         const std::vector<RawStackItem>& raw,
                                         const ImageOfFunction& imageOf, size_t limit);

/// The numbers of listed entries: -1 for the exception address (shown "E:"), then 0, 1, ...
/// for the others in order, hidden ones counted too.
class StackEntryNumbers {
 public:
  int32_t next(const TListedStackEntry& entry) { return entry.Context ? -1 : count_++; }

 private:
  int32_t count_ = 0;
};

/// "E:" for -1, else the number in decimal.
std::string stackEntryNumberText(int32_t number);

}  // namespace ostrel
