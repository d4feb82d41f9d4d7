// One-line descriptions of exception records.
#pragma once

#include <string>

#include "platform/debug_platform.h"

namespace ostrel {

/// Prefix naming the whole exception flags value; empty for values not in the table.
std::string exceptionFlagsText(uint32_t flags);
/// Text naming an exception code other than an access violation.
std::string exceptionCodeText(uint32_t code);
/// Flag prefix followed by the code text; reads debuggee memory only for an access
/// violation.
std::string exceptionDescription(DebugPlatform& platform, Handle process,
                                 const ExceptionRecord32& record);
/// Flag prefix followed by the code text, for a record whose process cannot be asked:
/// moduleFile names the module holding the exception address (empty when none does).
std::string exceptionDescription(const ExceptionRecord32& record, const std::string& moduleFile);
/// The access violation sentence.
std::string accessViolationText(DebugPlatform& platform, Handle process,
                                const ExceptionRecord32& record);

}  // namespace ostrel
