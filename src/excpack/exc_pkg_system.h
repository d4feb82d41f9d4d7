// What the exception package asks of the operating system: facts about the running
// program and the machine, message boxes, and the files of the log folder. Both seams are
// program-wide and replaceable, so the Win32 build installs its own and tests install fakes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::excpack {

struct LocalTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

struct OsVersionInfo {
  uint32_t platformId = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

/// The fixed date-and-time text of the package: "dd.mm.yyyy hh:nn:ss". Stored and shown
/// as opaque text, never parsed.
std::string dateTimeText(const LocalTime& time);

class ExcPkgSystem {
 public:
  virtual ~ExcPkgSystem() = default;
  /// Full path of the running program's executable; empty when unknown.
  virtual std::string exePath() = 0;
  virtual LocalTime now() = 0;
  /// Size of a file opened read-only with every sharing allowed; nullopt when it cannot
  /// be opened.
  virtual std::optional<uint32_t> fileSize(const std::string& path) = 0;
  /// Last-write time of a file in local time.
  virtual std::optional<LocalTime> fileTime(const std::string& path) = 0;
  virtual std::optional<std::string> userName() = 0;
  virtual std::optional<std::string> computerName() = 0;
  virtual std::optional<OsVersionInfo> osVersion() = 0;
  /// The raw version block of an executable (VS_VERSIONINFO); empty when it has none.
  virtual std::vector<uint8_t> versionBlock(const std::string& path) = 0;
  /// A modal error box with an OK button.
  virtual void showError(const std::string& message) = 0;
};

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
