// libFuzzer target over the log reader: deciphering, component text and package streaming.
// Any input must give a package or an error text, never a crash or a hang; a package that
// was read must write and read back to the same text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "excpack/exception_log.h"

namespace {

using namespace ostrel::excpack;

// Fixed answers so that lazily fetched values are the same on every write.
class FixedSystem : public ExcPkgSystem {
 public:
  std::string exePath() override { return "C:\\fuzz.exe"; }
  LocalTime now() override { return {2026, 1, 2, 3, 4, 5, 6}; }
  std::optional<uint32_t> fileSize(const std::string&) override { return 1; }
  std::optional<LocalTime> fileTime(const std::string&) override { return now(); }
  std::optional<std::string> userName() override { return "u"; }
  std::optional<std::string> computerName() override { return "c"; }
  std::optional<OsVersionInfo> osVersion() override { return OsVersionInfo{2, 5, 1, 2600}; }
  std::vector<uint8_t> versionBlock(const std::string&) override { return {}; }
  void showError(const std::string&) override {}
};

void checkRoundTrip(TComponent& component) {
  const std::string text = ComponentToString(component);
  auto again = StringToComponent(text);
  if (!again || ComponentToString(*again) != text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FixedSystem fixedSystem;
  static const bool ready = [] {
    setExcPkgSystem(&fixedSystem);
    ExcPkgStartup();
    return true;
  }();
  (void)ready;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // The whole reading path of a log file.
  ReadLogResult log = readExceptionLogText(input);
  if (log.pack) checkRoundTrip(*log.pack);
  else if (log.error.empty()) std::abort();

  // The component text reader on its own, so mutations reach it directly.
  std::unique_ptr<TComponent> component;
  try {
    component = StringToComponent(input);
  } catch (const std::exception&) {
    return 0;
  }
  if (component) checkRoundTrip(*component);
  return 0;
}
