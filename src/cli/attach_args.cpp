#include "cli/attach_args.h"

#include <algorithm>
#include <limits>
#include <string>

namespace ostrel::cli {

namespace {

// Decimal digits only; values beyond max saturate at max + 1 so that the caller can tell
// "too large" from "at the limit".
std::optional<uint64_t> parseDecimal(const std::string& text, uint64_t max) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + uint64_t(c - '0');
    if (value > max) return max + 1;
  }
  return value;
}

}  // namespace

std::optional<AttachArgs> parseAttachArgs(const Args& args, std::string& error) {
  error.clear();
  AttachArgs result;
  const std::optional<uint64_t> pid =
      args.empty() ? std::nullopt : parseDecimal(args[0], std::numeric_limits<uint32_t>::max());
  if (!pid || *pid > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  result.processId = static_cast<uint32_t>(*pid);
  const auto maxSeconds = static_cast<uint64_t>(kMaxAttachDuration.count());
  for (size_t i = 1; i < args.size(); ++i) {
    std::optional<uint64_t> seconds;
    if (args[i] == "--for" && i + 1 < args.size() &&
        (seconds = parseDecimal(args[i + 1], maxSeconds))) {
      result.duration = std::chrono::seconds(std::min(*seconds, maxSeconds));
      ++i;
    } else if (args[i] == "--handoff") {
      result.handoff = true;
    } else {
      error = "bad option '" + args[i] + "'";
      return std::nullopt;
    }
  }
  return result;
}

}  // namespace ostrel::cli
