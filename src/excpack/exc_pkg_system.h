// What the exception package asks of the operating system: facts about the running
// program and the machine, message boxes (the host machine's seam of the platform layer),
// and the files of the log folder. Both seams are program-wide and replaceable, so the
// Win32 build installs its own and tests install fakes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host_system.h"

namespace ostrel::excpack {

using LocalTime = HostTime;
using OsVersionInfo = HostOsVersion;
using ExcPkgSystem = HostSystem;

/// The fixed date-and-time text of the package: "dd.mm.yyyy hh:nn:ss". Stored and shown
/// as opaque text, never parsed.
std::string dateTimeText(const LocalTime& time);

class LogFileStore {
 public:
  virtual ~LogFileStore() = default;
  virtual bool exists(const std::string& path) = 0;
  /// Creates a file that does not exist yet and writes data; false if it exists or
  /// cannot be written whole (a partial file is removed).
  virtual bool writeNew(const std::string& path, std::string_view data) = 0;
  /// Renames without ever replacing an existing target; false when the target exists or
  /// the rename fails.
  virtual bool renameNoReplace(const std::string& from, const std::string& to) = 0;
  virtual void remove(const std::string& path) = 0;
  virtual std::optional<std::string> read(const std::string& path) = 0;
  /// The file's size in bytes; nullopt when it cannot be told (the file is then read and
  /// judged by its content).
  virtual std::optional<uint64_t> size(const std::string& path) {
    (void)path;
    return std::nullopt;
  }
};

/// Portable defaults: standard library clock and files, environment variables for the
/// user and machine, no version block, messages to stderr.
class PortableExcPkgSystem : public ExcPkgSystem {
 public:
  std::string exePath() override;
  LocalTime now() override;
  std::optional<uint32_t> fileSize(const std::string& path) override;
  std::optional<LocalTime> fileTime(const std::string& path) override;
  std::optional<std::string> userName() override;
  std::optional<std::string> computerName() override;
  std::optional<OsVersionInfo> osVersion() override;
  std::vector<uint8_t> versionBlock(const std::string& path) override;
  void showError(const std::string& message) override;
};

class PortableLogFileStore : public LogFileStore {
 public:
  bool exists(const std::string& path) override;
  bool writeNew(const std::string& path, std::string_view data) override;
  bool renameNoReplace(const std::string& from, const std::string& to) override;
  void remove(const std::string& path) override;
  std::optional<std::string> read(const std::string& path) override;
  std::optional<uint64_t> size(const std::string& path) override;
};

/// The installed seams (the portable defaults until replaced). Set them before any other
/// thread uses the package; the pointers are not owned and must outlive their use.
ExcPkgSystem& getExcPkgSystem();
LogFileStore& getLogFileStore();
void setExcPkgSystem(ExcPkgSystem* system);  // nullptr restores the default
void setLogFileStore(LogFileStore* store);   // nullptr restores the default

/// Program-wide switches and folder of the log layer.
struct ExcLogSettings {
  /// Folder for log files; empty until first given or derived from a path.
  std::string errorLogDir;
  /// Encipher logs (on in this program; off gives the plain component text).
  bool encipher = true;
  /// Show the stored message in an error box (the debugger keeps it off).
  bool showStoredMessage = false;
};
ExcLogSettings& excLogSettings();

}  // namespace ostrel::excpack
