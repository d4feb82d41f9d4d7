#include "engine/registry.h"

#include <cstdio>

namespace ostrel {

namespace {

std::string twoDigits(int value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", ((value % 100) + 100) % 100);
  return buf;
}

}  // namespace

std::string formatThousands(uint32_t value, const std::string& separator) {
  std::string digits = std::to_string(value);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3 * separator.size());
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += separator;
    out.push_back(digits[i]);
  }
  return out;
}

std::string formatFixedVersion(uint32_t versionMS) {
  const double major = versionMS >> 16;
  const double minor = versionMS & 0xFFFF;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0.2f", major + minor / 100.0);
  return buf;
}

DllFileDetails readDllFileDetails(DebugPlatform& platform, const std::string& fileName) {
  DllFileDetails details;
  if (fileName.empty()) return details;
  auto facts = platform.findFile(fileName);
  if (!facts) return details;

  details.size = formatThousands(facts->sizeLow, platform.thousandSeparator());
  const std::string sep = platform.dateSeparator();
  details.date = twoDigits(facts->month) + sep + twoDigits(facts->day) + sep +
                 twoDigits(facts->year);

  auto version = platform.fileVersionString(fileName, "\\StringFileInfo\\040904E4\\FileVersion");
  if (version && !version->empty()) {
    details.version = *version;
  } else if (auto ms = platform.fileVersionMS(fileName)) {
    details.version = formatFixedVersion(*ms);
  }
  return details;
}

}  // namespace ostrel
