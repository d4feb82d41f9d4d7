// Readers of texts and addresses out of the debuggee for the event loop.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/debug_platform.h"

namespace ostrel {

/// An error that ends the debug session; its message follows "Debugger error! ".
class EngineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Longest UTF-16 image name read, in characters, and longest ANSI one, in bytes.
constexpr uint32_t kMaxImageNameChars = 260;
constexpr uint32_t kImageNameBytes = 261;

/// Name of an image whose name pointer lies at pointerAddress in the debuggee. Throws
/// EngineError when the pointer cannot be read; the name read itself shrinks until it
/// succeeds, down to an empty name.
std::string readImageName(DebugPlatform& platform, Handle process, Address pointerAddress,
                          uint16_t unicode);
/// The whole debug string of an output-debug-string event. Throws EngineError when it
/// cannot be read.
std::string readDebugString(DebugPlatform& platform, Handle process,
                            const DebugEventRecord& event);
/// Export-directory name of a DLL: empty when the file is not a PE disk file,
/// "Access Denied!" when the name cannot be read from the debuggee.
std::string readExportName(DebugPlatform& platform, Handle process, Handle file,
                           Address dllBase);
/// Full file name of the module holding address, or "Unknown".
std::string moduleNameFromAddress(DebugPlatform& platform, Handle process, Address address);
/// Start of the code section of the image containing address (allocation base + base of
/// code from its PE header, read from the debuggee). 0 when the region is unknown.
Address getCodeBase(DebugPlatform& platform, Handle process, Address address);

}  // namespace ostrel
