// Recorded debug events: the event record with its details array, the DLL record, the
// call stack records and the guarded, owning event list.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/debug_records.h"
#include "stack/stack_walker.h"
#include "stack/symbolizer.h"

namespace ostrel {

/// One element of a details array: unassigned, a 32-bit signed integer, or a text.
using Variant = std::variant<std::monostate, int32_t, std::string>;
using VariantArray = std::vector<Variant>;

/// The DLL record of a DLL load or unload event.
struct TDllInfo {
  TDllInfo(std::string name, Handle fileHandle, Address baseAddress, std::string fileSize,
           std::string fileDate, std::string fileVersion);
  std::string Name;
  std::string FileSize;
  std::string FileDate;
  Address BaseAddress = 0;
  std::string FileVersion;
  Handle FileHandle = 0;
};

/// Raw scan result: return addresses, most recent call first.
using TCallStack = std::vector<uint32_t>;

struct TEventCallStackEntry {
  uint32_t Address = 0;
  std::string Module;  // the module's file name, without folder
  std::string UnitName;
  std::string MethodName;
  std::string LineText;
};

/// One entry of the call stack as listed: the exception address first, then return
/// addresses innermost first, each saying how it was found.
struct TListedStackEntry {
  uint32_t Address = 0;
  FoundBy foundBy = FoundBy::Scan;
  bool Context = false;   // the exception address ("E:")
  int32_t RawIndex = -1;  // position in the raw scan's list; -1 for entries only the walk found
  std::shared_ptr<const SymbolModule> Image;  // where it lies; null when no module holds it

  /// The module's file name, without folder; empty when no module holds the entry.
  std::string moduleName() const;
};

/// The call stack attached to one event: the entries listed, in stack order. The raw
/// scan's slots (positions 0 to the stack depth setting - 1 at the time the event arrived)
/// stay readable by position; only the entries found are stored, so an event without a
/// stack costs a few bytes and one with a 6-deep stack six entries, whatever the depth.
class TEventCallStack {
 public:
  TEventCallStack() = default;
  explicit TEventCallStack(uint32_t depth) : size_(depth) {}
  /// The number of raw-scan slots (the depth setting).
  uint32_t size() const { return size_; }
  /// Raw-scan slot i; an empty entry (address 0) for slots never filled or out of range.
  TEventCallStackEntry operator[](uint32_t i) const;
  /// Fills raw-scan slot i, labelled `scan`; ignored when i is out of range.
  void set(uint32_t i, uint32_t address, std::string module);
  /// Count of raw-scan slots filled.
  uint32_t filled() const;

  /// Every entry listed, in stack order.
  const std::vector<TListedStackEntry>& listed() const;
  /// Replaces the listed entries (the raw slots among them keep their RawIndex).
  void setListed(std::vector<TListedStackEntry> entries);

  /// Gives back the room kept for further entries (the event does when it takes the stack).
  void shrinkToFit();

 private:
  uint32_t size_ = 0;
  std::unique_ptr<std::vector<TListedStackEntry>> entries_;  // null until an entry is stored
};

class TDbgEvent {
 public:
  TDbgEvent(int32_t number, const DebugEventRecord& event, std::unique_ptr<TDllInfo> dllInfo,
            std::string details, std::string info, TEventCallStack callStack);

  /// Builds the per-type details array, keeps it in DetailsArray and returns a copy.
  VariantArray GetDetails();

  DebugEventRecord DebugEvent;
  int32_t Number;
  std::unique_ptr<VariantArray> DetailsArray;  // null = unassigned
  std::unique_ptr<TDllInfo> DllInfo;
  std::string Details;
  std::string Info;
  TEventCallStack CallStack;
};

/// The owning list of recorded events. Appends come from the session worker, reads from
/// the main thread; a mutex keeps them apart. Events are never moved once appended, so
/// a pointer handed out stays valid until ClearEvents.
class TDbgEventList {
 public:
  void append(std::unique_ptr<TDbgEvent> event);
  size_t count() const;
  /// Event at index i, null when out of range.
  TDbgEvent* at(size_t i) const;
  /// Destroys every event, last to first.
  void ClearEvents();
  /// The first event from the start of the list with that number, or null.
  TDbgEvent* FindByNumber(int32_t number) const;
  /// The DLL record of the latest DLL load at that base, or null.
  TDllInfo* FindDllByBase(Address base) const;

  ~TDbgEventList();

 private:
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<TDbgEvent>> events_;
  std::unordered_map<int32_t, TDbgEvent*> byNumber_;
  std::unordered_map<Address, TDllInfo*> loadsByBase_;
};

std::string DebugEventName(uint32_t code);
std::string ExceptionChanceName(uint32_t chance, bool withSuffix);

}  // namespace ostrel
