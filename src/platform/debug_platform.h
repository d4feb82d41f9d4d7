// The operating-system seam of the debug engine. Everything the engine asks of the OS
// goes through DebugPlatform; the Win32 implementation lives in platform/win32, a
// scripted fake drives the engine in portable unit tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/debug_records.h"

namespace ostrel {

struct ProcessStartInfo {
  Handle hProcess = 0;
  Handle hThread = 0;
  uint32_t processId = 0;
  uint32_t threadId = 0;
};

struct MemoryRegion {
  Address allocationBase = 0;
  uint32_t state = 0;  // 0x1000 = committed
  uint32_t type = 0;
  /// The run of pages around the address that share every answer above (free runs too);
  /// a size of 0 promises nothing beyond the address's own page.
  Address regionBase = 0;
  uint32_t regionSize = 0;
};

enum class WaitResult { Event, Timeout, Failed };

/// Facts about a file on disk, as the DLL file details need them.
struct FileFacts {
  uint32_t sizeLow = 0;
  // Last-write time converted to local time.
  int year = 0, month = 0, day = 0;
};

/// How much of a process a minidump holds. None writes no dump at all.
enum class MinidumpKind { None, Normal, FullMemory };

/// What a minidump is written of. Normal holds every thread with its stack and the module
/// list; FullMemory adds every readable page of the process.
struct MinidumpRequest {
  Handle process = 0;  // with query and read access
  uint32_t processId = 0;
  /// The thread that raised the exception (its handle for reading its registers); unused
  /// without an exception.
  uint32_t threadId = 0;
  Handle thread = 0;
  /// The exception to record, or null for a snapshot without an exception stream.
  const ExceptionRecord32* exception = nullptr;
  /// The thread's registers as the session read them, used when the thread cannot be
  /// read again.
  ThreadContext context{};
  std::string path;  // created new: an existing file is never replaced
  MinidumpKind kind = MinidumpKind::Normal;
};

/// Platform error carrying the OS's message text.
struct PlatformError {
  std::string message;
};

class DebugPlatform {
 public:
  virtual ~DebugPlatform() = default;

  // --- session control -------------------------------------------------------------
  /// Starts a process under debugging (DEBUG_PROCESS). Returns nullopt on failure and
  /// puts the system's message into *error.
  virtual std::optional<ProcessStartInfo> createProcess(const std::string& commandLine,
                                                        std::string* error) = 0;
  /// OpenProcess with all access; 0 on failure.
  virtual Handle openProcess(uint32_t processId) = 0;
  virtual bool debugActiveProcess(uint32_t processId) = 0;
  /// True when DebugActiveProcessStop exists on this system.
  virtual bool hasDebugActiveProcessStop() = 0;
  virtual bool debugActiveProcessStop(uint32_t processId) = 0;
  /// Whether the debuggees of the calling thread die when it ends without detaching
  /// (DebugSetProcessKillOnExit). False when the system cannot change it.
  virtual bool setKillOnExit(bool kill) = 0;
  virtual void setDebugErrorLevel(uint32_t level) = 0;
  /// Waits for the next event of the debuggees of the calling thread.
  virtual WaitResult waitForDebugEvent(DebugEventRecord& event, uint32_t timeoutMs) = 0;
  virtual bool continueDebugEvent(uint32_t processId, uint32_t threadId, uint32_t status) = 0;
  virtual bool terminateProcess(Handle process, uint32_t exitCode) = 0;
  virtual void closeHandle(Handle h) = 0;
  /// Whether the system closes the process and thread handles that creation events
  /// delivered: a thread's once its exit event is continued, a process's (and those of
  /// its threads) once its exit event is continued or the debugger detaches from it.
  /// Windows does; Wine closes none of them. Image and DLL file handles are always the
  /// debugger's to close, and so are the handles of what never reported its exit.
  virtual bool systemClosesExitedHandles() = 0;
  /// Message text of the calling thread's last OS error.
  virtual std::string lastErrorText() = 0;

  // --- debuggee memory and threads ---------------------------------------------------
  /// Reads up to size bytes; returns false on failure. *bytesRead gets the count.
  virtual bool readMemory(Handle process, Address address, void* buffer, uint32_t size,
                          uint32_t* bytesRead) = 0;
  virtual std::optional<MemoryRegion> queryRegion(Handle process, Address address) = 0;
  virtual bool getThreadContext(Handle thread, ThreadContext& context) = 0;
  /// Linear address of the thread's information block: the FS descriptor's base where
  /// that yields a block pointing to itself at +0x18, the thread query otherwise.
  virtual std::optional<Address> threadInfoBlockAddress(Handle process, Handle thread,
                                                        uint32_t fsSelector) = 0;
  /// Module handles of the process, or nullopt when the enumeration fails.
  virtual std::optional<std::vector<Address>> enumProcessModules(Handle process) = 0;
  /// Full path of a module of the process (261-character buffer); empty on failure.
  virtual std::string moduleFileName(Handle process, Address module) = 0;

  // --- files -------------------------------------------------------------------------
  /// GetFileType of a handle (1 = disk file).
  virtual uint32_t fileType(Handle file) = 0;
  /// Positions the file and reads up to size bytes; returns the count read.
  virtual uint32_t readFileAt(Handle file, uint32_t offset, void* buffer, uint32_t size) = 0;
  /// Full path of the file that an image file handle (from a process-creation or DLL-load
  /// event) refers to; empty when unknown. Wine leaves the image-name pointer of
  /// process-creation events null and has no module list yet at that point, so this is
  /// the one source of a new process's name there.
  virtual std::string imageFileName(Handle /*file*/) { return {}; }
  /// Writes a minidump of a debuggee as the request says. Returns false and puts the
  /// system's message into *error when the file cannot be created or written; a partly
  /// written file is removed.
  virtual bool writeMinidump(const MinidumpRequest& request, std::string* error) = 0;
  /// Looks a file up by name (all attributes); nullopt when not found.
  virtual std::optional<FileFacts> findFile(const std::string& name) = 0;
  /// A string value of the file's version block, nullopt when absent.
  virtual std::optional<std::string> fileVersionString(const std::string& name,
                                                       const std::string& subBlock) = 0;
  /// The most significant 32 bits of the fixed file version, nullopt when absent.
  virtual std::optional<uint32_t> fileVersionMS(const std::string& name) = 0;

  // --- locale ------------------------------------------------------------------------
  /// UTF-16 text to the system ANSI code page.
  virtual std::string wideToAnsi(std::u16string_view text) = 0;
  virtual std::string thousandSeparator() = 0;
  virtual std::string dateSeparator() = 0;
};

}  // namespace ostrel
