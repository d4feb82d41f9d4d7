// The facts an exception package needs from Windows: the program's path, the clock, file
// size and date, user, computer, system version, version blocks, and the error box.
#pragma once

#include "excpack/exc_pkg_system.h"

namespace ostrel {

class Win32ExcPkgSystem final : public excpack::ExcPkgSystem {
 public:
  std::string exePath() override;
  excpack::LocalTime now() override;
  std::optional<uint32_t> fileSize(const std::string& path) override;
  std::optional<excpack::LocalTime> fileTime(const std::string& path) override;
  std::optional<std::string> userName() override;
  std::optional<std::string> computerName() override;
  std::optional<excpack::OsVersionInfo> osVersion() override;
  /// Empty when the file has no version block or cannot be read.
  std::vector<uint8_t> versionBlock(const std::string& path) override;
  void showError(const std::string& message) override;
};

}  // namespace ostrel
