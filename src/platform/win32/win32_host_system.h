// The host machine's facts from Windows: its own path, the clock, file size and
// date, user, computer, system version, version blocks, and the error box.
#pragma once

#include "platform/host_system.h"

namespace ostrel {

class Win32HostSystem final : public HostSystem {
 public:
  std::string exePath() override;
  HostTime now() override;
  std::optional<uint32_t> fileSize(const std::string& path) override;
  std::optional<HostTime> fileTime(const std::string& path) override;
  std::optional<std::string> userName() override;
  std::optional<std::string> computerName() override;
  std::optional<HostOsVersion> osVersion() override;
  std::vector<uint8_t> versionBlock(const std::string& path) override;
  void showError(const std::string& message) override;
};

}  // namespace ostrel
