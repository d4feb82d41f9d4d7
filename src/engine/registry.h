// The process and thread registry (balance check at program end) and the DLL file
// details reader.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_platform.h"

namespace ostrel {

struct TThreadProp {
  TThreadProp(std::string name, Handle threadHandle, uint32_t threadId)
      : ThreadId(threadId), ThreadHandle(threadHandle), Name(std::move(name)) {}
  uint32_t ThreadId;
  Handle ThreadHandle;
  std::string Name;
};

struct TProcessProp {
  TProcessProp(uint32_t processId, std::string name, Handle processHandle)
      : ProcessId(processId), ProcessHandle(processHandle), Name(std::move(name)) {}
  uint32_t ProcessId;
  Handle ProcessHandle;
  std::string Name;
};

/// Owning list of registered records in creation order, guarded for readers on the
/// main thread.
template <class T>
class TRegistryList {
 public:
  void append(std::unique_ptr<T> record) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(record));
  }
  size_t count() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }
  /// Copy of record i (records may be removed by the worker at any time).
  T copyAt(size_t i) const {
    std::lock_guard lock(mutex_);
    return *items_.at(i);
  }
  /// Destroys every record, last to first.
  void clear() {
    std::lock_guard lock(mutex_);
    while (!items_.empty()) items_.pop_back();
  }
  ~TRegistryList() { clear(); }

 protected:
  /// Removes the latest record whose key matches; unknown keys change nothing.
  template <class Key>
  void removeLatest(Key key) {
    std::lock_guard lock(mutex_);
    for (size_t i = items_.size(); i-- > 0;) {
      if (key(*items_[i])) {
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
        return;
      }
    }
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<T>> items_;
};

class TUsedThreads : public TRegistryList<TThreadProp> {
 public:
  void RemoveThread(uint32_t threadId) {
    removeLatest([threadId](const TThreadProp& p) { return p.ThreadId == threadId; });
  }
  void ClearThreads() { clear(); }
};

class TUsedProcesses : public TRegistryList<TProcessProp> {
 public:
  void RemoveProcess(uint32_t processId) {
    removeLatest([processId](const TProcessProp& p) { return p.ProcessId == processId; });
  }
  void ClearProcesses() { clear(); }
};

struct DllFileDetails {
  std::string size;
  std::string version;
  std::string date;
};

/// Size ("%1.0n"), version and date ("mm/dd/yy") texts of a DLL file; all empty when
/// the file is not found.
DllFileDetails readDllFileDetails(DebugPlatform& platform, const std::string& fileName);

/// A whole number with the given thousands separator ("1,234,567").
std::string formatThousands(uint32_t value, const std::string& separator);
/// The fixed-version fallback text: major + minor / 100 as "%0.2f".
std::string formatFixedVersion(uint32_t versionMS);

}  // namespace ostrel
