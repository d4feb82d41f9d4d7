// What the stack walker reads from a thread it walks: memory, the modules and the stack
// range. The live session answers from the debuggee, a dump from its recorded ranges.
#pragma once

#include <cstdint>
#include <optional>

namespace ostrel {

using Address = uint32_t;

/// The module holding an address.
struct ModuleSpan {
  Address base = 0;
  uint32_t size = 0;
  bool executable = false;  // the address lies in an executable section of the module
};

/// A thread's stack: [low, high).
struct StackRange {
  Address low = 0;
  Address high = 0;
};

/// Read-only view of one stopped thread and the process around it. Implementations
/// answer from a snapshot that does not change during a walk and never throw.
class MemorySource {
 public:
  virtual ~MemorySource() = default;

  /// Copies up to n bytes from address into out and returns how many it copied: the
  /// readable run from address on, so a read stops short at the first unreadable page
  /// and returns 0 when address itself cannot be read.
  virtual uint32_t read(Address address, void* out, uint32_t n) = 0;

  /// The module whose image holds address; std::nullopt when no module does.
  virtual std::optional<ModuleSpan> moduleAt(Address address) = 0;

  /// The stack of the walked thread; std::nullopt when it is not known.
  virtual std::optional<StackRange> stackRange() = 0;
};

}  // namespace ostrel
