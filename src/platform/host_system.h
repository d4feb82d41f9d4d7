// What the program asks of the machine it runs on, apart from debugging: its own
// executable, the clock, a file's size and date, the user, the computer and the system
// version, a file's version block, and the error box. The exception package reaches it
// through an adapter, so that the package stays free of the OS.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrel {

struct HostTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

struct HostOsVersion {
  uint32_t platformId = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

class HostSystem {
 public:
  virtual ~HostSystem() = default;
  /// Full path of the running program's executable; empty when unknown.
  virtual std::string exePath() = 0;
  /// The local date and time.
  virtual HostTime now() = 0;
  /// Size of a file opened read-only with every sharing allowed; nullopt when it cannot
  /// be opened.
  virtual std::optional<uint32_t> fileSize(const std::string& path) = 0;
  /// Last-write time of a file in local time; nullopt when it cannot be read.
  virtual std::optional<HostTime> fileTime(const std::string& path) = 0;
  virtual std::optional<std::string> userName() = 0;
  virtual std::optional<std::string> computerName() = 0;
  virtual std::optional<HostOsVersion> osVersion() = 0;
  /// The raw version block of an executable; empty when it has none or cannot be read.
  virtual std::vector<uint8_t> versionBlock(const std::string& path) = 0;
  /// A modal error box with an OK button.
  virtual void showError(const std::string& message) = 0;
};

}  // namespace ostrel
