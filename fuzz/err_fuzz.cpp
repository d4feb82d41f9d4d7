// libFuzzer target over the log reader: deciphering, component text and package streaming,
// and the report drawn from a package that was read. Any input must give a package or an
// error text, never a crash or a hang; a package that was read must write and read back to
// the same text, and its report must have the window's shape.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "excpack/exception_log.h"
#include "map_samples.h"
#include "mapfile/map.h"
#include "report/log_report.h"

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

// The small map of the map tests: small addresses of a mutated package (OffsetBase
// 0x400000) land in it often enough.
const char* const kMapText = ostrel::test::kSmallMap;

ostrel::TMap& fixedMap() {
  static ostrel::TMap map = [] {
    ostrel::TMap m;
    m.MapText.setText(kMapText);
    m.Loaded = true;
    if (!m.parse()) std::abort();
    return m;
  }();
  return map;
}

void checkRoundTrip(TComponent& component) {
  const std::string text = ComponentToString(component);
  auto again = StringToComponent(text);
  if (!again || ComponentToString(*again) != text) std::abort();
}

// The row numbers are "E:" for the first row only, blank for the separator, and otherwise
// increasing item indices below the item count.
void checkRows(const std::vector<ostrel::report::StackRow>& rows, int count, bool withMap) {
  if (rows.empty()) std::abort();
  size_t i = 0;
  if (rows[0][0] == "E:") {
    if (!withMap) std::abort();
    ++i;
  }
  if (i >= rows.size() || rows[i] != ostrel::report::StackRow{}) std::abort();
  if (!withMap && rows.size() != i + 1) std::abort();
  long previous = -1;
  for (++i; i < rows.size(); ++i) {
    const std::string& number = rows[i][0];
    if (number.empty() || number.size() > 10 ||
        number.find_first_not_of("0123456789") != std::string::npos)
      std::abort();
    const long n = std::stol(number);
    if (n <= previous || n >= count) std::abort();
    previous = n;
  }
}

void checkReport(TExceptionPack& pack) {
  if (ostrel::report::reportLines(pack, ostrel::report::ReportValues::StoredOnly).size() != 47)
    std::abort();
  const TErrorInfo* error = pack.ErrorInfo();
  const int count = error ? error->CallStackCount() : 0;
  const std::vector<std::string> names = {"prog.exe", "", "kernel32.dll"};
  checkRows(ostrel::report::callStackRows(pack, nullptr, {}), count, false);
  checkRows(ostrel::report::callStackRows(pack, &fixedMap(), names), count, true);
  // The report fills nothing in that a write would then carry differently.
  checkRoundTrip(pack);
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
  if (log.pack) {
    checkRoundTrip(*log.pack);
    checkReport(*log.pack);
  } else if (log.error.empty()) {
    std::abort();
  }

  // The component text reader on its own, so mutations reach it (and the report) directly.
  std::unique_ptr<TComponent> component;
  try {
    component = StringToComponent(input);
  } catch (const std::exception&) {
    return 0;
  }
  if (!component) return 0;
  checkRoundTrip(*component);
  if (auto* pack = dynamic_cast<TExceptionPack*>(component.get())) checkReport(*pack);
  return 0;
}
