// The call stack of one stopped thread: the frame-pointer chain where it can be trusted,
// the stack scan where it cannot, every entry saying how it was found.
#pragma once

#include <cstdint>
#include <vector>

#include "stack/memory_source.h"

namespace ostrel {

/// How an entry was found, from most to least trusted.
enum class FoundBy : uint8_t {
  Context,  // the instruction pointer of the thread's context
  Frame,    // a return address on the frame-pointer chain
  Call,     // a scan hit whose call instruction targets the routine of the entry below
  Scan,     // a scan hit only: looks like a return address, nothing more is known
};

/// "context", "frame", "call" or "scan".
const char* foundByName(FoundBy how);

/// The registers a walk starts from.
struct WalkContext {
  Address eip = 0;
  Address esp = 0;
  Address ebp = 0;
};

struct StackEntry {
  Address address = 0;   // code address: the context's EIP or a return address
  Address position = 0;  // the stack slot it was read from; the context's ESP for context
  FoundBy foundBy = FoundBy::Scan;

  bool operator==(const StackEntry&) const = default;
};

/// Walks stacks through a memory source. Nothing a source answers makes it throw or run
/// on: every walk moves strictly up the stack and stops at its top, at the first word it
/// cannot read where a word is needed, or at the entry bound.
///
/// A frame at frame pointer fp is accepted when fp lies on the stack at or above the
/// words already passed, the return address at fp + 4 lies in an executable section of
/// a module and passes the call-site test, and the saved frame pointer at fp is zero
/// (the chain's end) or lies higher on the same stack.
///
/// Between accepted frames, and from the first word it cannot accept a frame on, the
/// walker scans: each word that would pass as a return address is a hit. A hit counts
/// as `call` when the instruction before it is a direct call (E8; to an import thunk,
/// jmp [slot], it counts as a call of where the slot points), or an indirect call through
/// a slot inside a module whose value can be read (FF 15), whose target lies in the
/// routine of the entry below. Without routine bounds that is taken to mean: the
/// target lies in the same module as the nearest `context`, `frame` or `call` entry
/// below, at or below that entry's address (a routine starts before the code it holds).
/// After a `call` hit the walk tries the frame chain again from the frame pointer its
/// callee would have saved just below it. The `call` hits below an accepted frame must
/// also fit it: going down from the frame, each lies at or above the target of the call
/// of the entry above it (when that target is known), or it is only a `scan` hit; a
/// `scan` hit lying in that routine ends the check (its own call's target is not known,
/// so nothing below it can be judged from above).
class StackWalker {
 public:
  explicit StackWalker(MemorySource& source) : source_(source) {}

  /// The context entry, then frames and scan hits in stack order, at most maxEntries in
  /// all. Only the context entry when the stack range is unknown or ESP lies outside it;
  /// empty when maxEntries is 0.
  std::vector<StackEntry> walk(const WalkContext& context, uint32_t maxEntries);

  /// The raw scan: every word from esp up to the stack's top that is above 8, lies in a
  /// module (any section) and passes the call-site test, a direct repeat of the previous
  /// hit excepted; all labelled `scan`, at most maxEntries. Empty when the stack range is
  /// unknown or esp lies outside it. Unreadable words are passed over.
  std::vector<StackEntry> rawScan(Address esp, uint32_t maxEntries);

  /// Every raw-scan hit plus the walk's context, frame and call entries at slots the raw
  /// scan did not list, in stack order (the context entry first). A raw hit the walk
  /// also found at the same slot keeps the walk's label. Each list is bounded by
  /// maxEntries, so this holds at most twice that many.
  std::vector<StackEntry> merged(const WalkContext& context, uint32_t maxEntries);

 private:
  MemorySource& source_;
};

}  // namespace ostrel
