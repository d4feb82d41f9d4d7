// The arguments of "ostrel-cli attach", read apart from the session so that their limits
// can be checked without a debuggee.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/commands.h"

namespace ostrel::cli {

/// The longest --for honoured: far beyond any real run, and small enough that the
/// deadline it gives cannot overflow the clock.
inline constexpr std::chrono::seconds kMaxAttachDuration{std::chrono::hours(24 * 365 * 100)};

struct AttachArgs {
  uint32_t processId = 0;  // any 32-bit process id
  /// How long to stay attached (clamped to kMaxAttachDuration); none: until the debuggee
  /// ends.
  std::optional<std::chrono::seconds> duration;
  bool handoff = false;
};

/// Reads "PID [--for SECONDS] [--handoff]". nullopt for a usage error; error then says
/// which (empty for a bad or missing process id).
std::optional<AttachArgs> parseAttachArgs(const Args& args, std::string& error);

}  // namespace ostrel::cli
