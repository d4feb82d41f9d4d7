// Raw call stack scan: every stack word that points into a module of the debuggee just
// behind something that decodes as a CALL is taken for a return address. Also the choice
// of the scanned range and the selection of the entries a scan publishes.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/event_records.h"
#include "platform/debug_platform.h"
#include "stack/call_site.h"  // callSiteBytesMatch

namespace ostrel {

/// An error inside the scan; its message is the fixed text of the step that failed.
class StackScanError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kFillRawStackError =
    "Error occurred in function fillRawStack, while store Stack values";
inline constexpr const char* kValidCallSiteError =
    "Error occurred in function validCallSite, while storeRawStack";
inline constexpr const char* kIsSystemModuleError =
    "Error occurred in function IsSystemModule, while storeRawStack";
inline constexpr const char* kModuleFromAddressError =
    "Error occurred in function moduleFromAddress, while storeRawStack";

/// Sizes stack to (upper - lower) / 4 words and scans it (fillRawStack). Returns the
/// number of entries stored, or -1 when anything fails inside, including an upper end
/// below the lower end; never throws.
int32_t storeRawStack(DebugPlatform& platform, TCallStack& stack, Address start, int32_t depth,
                      Handle process, Address upper, Address lower);

/// Scans the words from start upward while below upper, storing each return address
/// found, a repeat of the last stored one excepted. Stops at (upper - lower) / 4 entries,
/// at the end of stack, or, unless depth is -1, once more than depth entries are stored.
/// Unreadable words are skipped. The stack is read in large chunks, the module list is
/// taken once per call and each memory region is asked about once; the result equals
/// that of word-by-word reads. Throws StackScanError with kFillRawStackError on any
/// failure.
int32_t fillRawStack(DebugPlatform& platform, TCallStack& stack, Address start, int32_t depth,
                     Handle process, Address upper, Address lower);

/// True when candidate is above 8, lies in a module of the debuggee and the bytes before
/// it match one of the call forms. False when those bytes cannot be read. Throws
/// StackScanError with kValidCallSiteError on any failure.
bool validCallSite(DebugPlatform& platform, Address candidate, Handle process);

/// Allocation base of the committed region holding address, 0 when it is not committed
/// or unknown. Throws StackScanError with kModuleFromAddressError on any failure.
Handle moduleFromAddress(DebugPlatform& platform, Handle process, Address address);

/// True when module is one of the modules loaded in the debuggee; false for 0, a null
/// process or a failed enumeration. Throws StackScanError with kIsSystemModuleError on
/// any failure.
bool IsSystemModule(DebugPlatform& platform, Handle module, Handle process);

/// Bounds of one scan.
struct ScanRange {
  Address start = 0;
  Address upper = 0;
  Address lower = 0;
};

/// Picks the scan range. After a stack overflow the exhausted thread is not asked again:
/// the exception snapshot from before it serves, or the start snapshot when that one
/// failed. Otherwise the fresh walk snapshot from its ESP up, or the start snapshot when
/// the walk snapshot could not be taken.
ScanRange chooseScanRange(bool stackOverflow, bool snapshotFailed, bool walkOk,
                          const StackInfoBlock& startInfo, const StackInfoBlock& exceptionInfo,
                          const StackInfoBlock& walkInfo, Address walkEsp);

/// One entry a scan publishes.
struct PublishedStackEntry {
  int32_t index = 0;
  Address address = 0;
  std::string module;  // file name without folder
};

/// Full module file name of an address (moduleNameFromAddress, bound to a process).
using ModuleNameFunction = std::function<std::string(Address)>;

/// The entries of stack from firstIndex to endIndex - 1 that are non-zero (indices past
/// the end of stack count as zero), in order. Those with an index up to depth - 1 are
/// also set into callStack.
std::vector<PublishedStackEntry> stackEntriesToPublish(const TCallStack& stack,
                                                       int32_t firstIndex, int32_t endIndex,
                                                       int32_t depth,
                                                       const ModuleNameFunction& moduleName,
                                                       TEventCallStack& callStack);

/// The module file names (no folder) of the first count entries, each followed by
/// CR LF. A count of -1 counts as 0.
std::string stackModulesText(const TCallStack& stack, int32_t count,
                             const ModuleNameFunction& moduleName);

}  // namespace ostrel
