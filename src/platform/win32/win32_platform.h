// The real operating system behind the debug engine's seam: kernel32 debugging,
// memory and thread calls, PSAPI module queries, version blocks and locale texts.
// Stateless; one instance may serve every session of the program.
#pragma once

#include "platform/debug_platform.h"

namespace ostrel {

class Win32Platform final : public DebugPlatform {
 public:
  std::optional<ProcessStartInfo> createProcess(const std::string& commandLine,
                                                std::string* error) override;
  Handle openProcess(uint32_t processId) override;
  bool debugActiveProcess(uint32_t processId) override;
  /// True when kernel32 exports DebugActiveProcessStop.
  bool hasDebugActiveProcessStop() override;
  /// False when the call is absent or fails.
  bool debugActiveProcessStop(uint32_t processId) override;
  bool setKillOnExit(bool kill) override;
  /// Loads user32 for it when needed; no-op where the call does not exist.
  void setDebugErrorLevel(uint32_t level) override;
  /// Timeout when the wait timed out, Failed for any other failure (the error stays
  /// the thread's last error for lastErrorText).
  WaitResult waitForDebugEvent(DebugEventRecord& event, uint32_t timeoutMs) override;
  bool continueDebugEvent(uint32_t processId, uint32_t threadId, uint32_t status) override;
  bool terminateProcess(Handle process, uint32_t exitCode) override;
  /// Ignores handle 0.
  void closeHandle(Handle h) override;
  /// True on Windows; false under Wine (ntdll exports wine_get_version).
  bool systemClosesExitedHandles() override;
  /// The system's message without its trailing line break; "Error N" when the system
  /// has no message for the code.
  std::string lastErrorText() override;

  bool readMemory(Handle process, Address address, void* buffer, uint32_t size,
                  uint32_t* bytesRead) override;
  std::optional<MemoryRegion> queryRegion(Handle process, Address address) override;
  /// Uses context.ContextFlags when set, the full x86 set otherwise.
  bool getThreadContext(Handle thread, ThreadContext& context) override;
  /// nullopt when neither the descriptor nor the thread query gives a block.
  std::optional<Address> threadInfoBlockAddress(Handle process, Handle thread,
                                                uint32_t fsSelector) override;
  std::optional<std::vector<Address>> enumProcessModules(Handle process) override;
  std::string moduleFileName(Handle process, Address module) override;

  uint32_t fileType(Handle file) override;
  /// 0 when positioning or reading fails.
  uint32_t readFileAt(Handle file, uint32_t offset, void* buffer, uint32_t size) override;
  /// Without the "\\?\" prefix the system puts in front of the path.
  std::string imageFileName(Handle file) override;
  /// Through dbghelp's MiniDumpWriteDump; the exception's thread is read again for its
  /// full register set.
  bool writeMinidump(const MinidumpRequest& request, std::string* error) override;
  std::optional<FileFacts> findFile(const std::string& name) override;
  std::optional<std::string> fileVersionString(const std::string& name,
                                               const std::string& subBlock) override;
  std::optional<uint32_t> fileVersionMS(const std::string& name) override;

  std::string wideToAnsi(std::u16string_view text) override;
  std::string thousandSeparator() override;
  std::string dateSeparator() override;
};

}  // namespace ostrel
