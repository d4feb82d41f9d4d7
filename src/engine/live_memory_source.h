// The stopped debuggee as a memory source for the stack walker: memory, modules and the
// walked thread's stack, all read through the debug platform.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/debug_platform.h"
#include "stack/memory_source.h"
#include "stack/pe_exports.h"
#include "stack/symbolizer.h"

namespace ostrel {

/// A module of the debuggee as its loaded headers describe it.
struct LiveModule {
  Address base = 0;
  uint32_t size = 0;                // SizeOfImage
  std::vector<PeRange> executable;  // executable sections, RVA ranges within size
  std::string path;                 // as the platform names it; empty when unknown
  // The module as the symbolizer names it; shared by every stack entry that lies in it.
  std::shared_ptr<const SymbolModule> image;
};

using LiveModuleList = std::vector<LiveModule>;

/// The thread's stack from its information block: [StackLimit, StackBase); nullopt when
/// the block brackets no stack.
std::optional<StackRange> stackRangeOf(const StackInfoBlock& block);

/// Reads the module list once, the first time a module is asked for, and keeps it (or
/// takes one read before by readModules, which a session keeps until a module comes or
/// goes): make one per walk, while the debuggee is stopped. Never throws but for
/// std::bad_alloc.
class LiveMemorySource : public MemorySource {
 public:
  LiveMemorySource(DebugPlatform& platform, Handle process, std::optional<StackRange> stack,
                   std::shared_ptr<const LiveModuleList> modules = nullptr)
      : platform_(platform), process_(process), stack_(stack), modules_(std::move(modules)) {}

  /// Every module of the process whose headers can be read, by base. The platform's
  /// enumeration names them; where it yields nothing (so it does before the loader has run
  /// on some systems) the modules the load events named (base -> path) are read instead.
  static std::shared_ptr<const LiveModuleList> readModules(
      DebugPlatform& platform, Handle process, const std::map<Address, std::string>& loaded = {});

  uint32_t read(Address address, void* out, uint32_t n) override;
  std::optional<ModuleSpan> moduleAt(Address address) override;
  std::optional<StackRange> stackRange() override { return stack_; }

  /// The module holding address with its path, for naming an entry; nullptr when none.
  const LiveModule* moduleOf(Address address);
  /// Every module whose headers could be read, by base; empty when the enumeration fails.
  const LiveModuleList& modules();

  /// The module at base as its headers in the debuggee's memory describe it; nullopt when
  /// they cannot be read or are not those of a 32-bit image. Every offset is checked
  /// against the headers read.
  static std::optional<LiveModule> readModuleHeaders(MemorySource& memory, Address base);

 private:
  DebugPlatform& platform_;
  Handle process_;
  std::optional<StackRange> stack_;
  std::shared_ptr<const LiveModuleList> modules_;
};

}  // namespace ostrel
