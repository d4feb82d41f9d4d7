// A scripted stand-in for the OS: debug events come from a queue, debuggee memory from
// byte blocks per process handle, and every continue is recorded.
#pragma once

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/format.h"
#include "platform/debug_platform.h"

namespace ostrel::fake {

struct Continue {
  uint32_t processId, threadId, status;
};

struct FakeRegion {
  Address base = 0;
  uint32_t size = 0;
  Address allocationBase = 0;
  uint32_t state = kMemCommit;
};

struct FakeFile {
  uint32_t type = 1;
  std::vector<uint8_t> bytes;
};

struct FakeDiskFile {
  FileFacts facts;
  std::optional<std::string> versionString;  // \StringFileInfo\040904E4\FileVersion
  std::optional<uint32_t> versionMS;
};

/// A minidump the session asked for, with what lay beside it at that moment.
struct FakeDump {
  MinidumpRequest request;  // its exception pointer cleared: see exception
  std::optional<ExceptionRecord32> exception;
  std::vector<std::string> folderAtWrite;  // file names in the dump's folder, sorted
};

class FakePlatform : public DebugPlatform {
 public:
  // --- script ---
  /// Queues an event; the wait hands them out in order, then reports time-outs (or
  /// failure once failWhenEmpty is set).
  void queueEvent(const DebugEventRecord& event);
  /// Writes bytes into the memory of the process that handle denotes (readable).
  void poke(Handle process, Address address, const void* data, size_t size);
  void pokeString(Handle process, Address address, const std::string& text);
  void pokeU16(Handle process, Address address, const std::u16string& text);
  void poke32(Handle process, Address address, uint32_t value);
  /// Makes [address, address + size) unreadable again.
  void unmap(Handle process, Address address, uint32_t size);
  void addRegion(Handle process, const FakeRegion& region);
  void addModule(Handle process, Address base, const std::string& path);

  std::optional<ProcessStartInfo> startResult = ProcessStartInfo{0x100, 0x104, 0x500, 0x600};
  std::string startError = "The system cannot find the file specified.";
  bool attachResult = true;
  bool detachAvailable = true;
  /// When set, the detach throws this text instead of answering (a platform that fails
  /// in an unforeseen way).
  std::optional<std::string> detachThrows;
  bool failWhenEmpty = false;
  /// When set, an empty queue hands out copies of this event instead of time-outs: a
  /// debuggee that raises events without pause.
  std::optional<DebugEventRecord> endless;
  bool failContinue = false;
  /// Whether the system closes the handles of exits and detaches (Windows) or leaves
  /// them to the debugger (Wine).
  bool systemClosesHandles = false;
  std::map<Handle, ThreadContext> contexts;
  std::map<Handle, Address> tebs;  // thread handle -> information block address
  std::map<Handle, FakeFile> files;
  std::map<std::string, FakeDiskFile> diskFiles;
  std::map<Handle, std::string> imagePaths;  // image file handle -> its path
  /// When set, every minidump fails with this text; otherwise a small file is created.
  std::optional<std::string> dumpFails;
  std::string thousands = ",";
  std::string dateSep = "/";

  // --- observations (read them after the session has ended, or through the accessors) ---
  std::vector<Continue> continues;
  std::vector<std::string> commandLines;
  std::vector<uint32_t> detached;
  std::vector<bool> killOnExit;
  std::vector<Handle> closed;
  std::vector<Handle> terminated;
  int waits = 0;
  size_t continueCount();
  /// Events queued and not yet taken by a wait.
  size_t pendingEvents();
  int readCalls = 0;
  std::vector<FakeDump> dumps;

  // --- DebugPlatform ---
  std::optional<ProcessStartInfo> createProcess(const std::string& commandLine,
                                                std::string* error) override;
  Handle openProcess(uint32_t processId) override;
  bool debugActiveProcess(uint32_t processId) override;
  bool hasDebugActiveProcessStop() override { return detachAvailable; }
  bool debugActiveProcessStop(uint32_t processId) override;
  bool setKillOnExit(bool kill) override {
    killOnExit.push_back(kill);
    return true;
  }
  void setDebugErrorLevel(uint32_t) override {}
  WaitResult waitForDebugEvent(DebugEventRecord& event, uint32_t timeoutMs) override;
  bool continueDebugEvent(uint32_t processId, uint32_t threadId, uint32_t status) override;
  bool terminateProcess(Handle process, uint32_t exitCode) override;
  void closeHandle(Handle h) override;
  bool systemClosesExitedHandles() override { return systemClosesHandles; }
  std::string lastErrorText() override { return "fake failure"; }
  bool readMemory(Handle process, Address address, void* buffer, uint32_t size,
                  uint32_t* bytesRead) override;
  std::optional<MemoryRegion> queryRegion(Handle process, Address address) override;
  bool getThreadContext(Handle thread, ThreadContext& context) override;
  std::optional<Address> threadInfoBlockAddress(Handle process, Handle thread,
                                                uint32_t fsSelector) override;
  std::optional<std::vector<Address>> enumProcessModules(Handle process) override;
  std::string moduleFileName(Handle process, Address module) override;
  uint32_t fileType(Handle file) override;
  uint32_t readFileAt(Handle file, uint32_t offset, void* buffer, uint32_t size) override;
  std::string imageFileName(Handle file) override {
    auto it = imagePaths.find(file);
    return it == imagePaths.end() ? std::string() : it->second;
  }
  bool writeMinidump(const MinidumpRequest& request, std::string* error) override;
  std::optional<FileFacts> findFile(const std::string& name) override;
  std::optional<std::string> fileVersionString(const std::string& name,
                                               const std::string& subBlock) override;
  std::optional<uint32_t> fileVersionMS(const std::string& name) override;
  std::string wideToAnsi(std::u16string_view text) override { return utf16ToCp1252(text); }
  std::string thousandSeparator() override { return thousands; }
  std::string dateSeparator() override { return dateSep; }

 private:
  std::mutex mutex_;
  std::condition_variable eventQueued_;
  std::deque<DebugEventRecord> events_;
  // Memory: per process, per page base, bytes plus a readable mask.
  struct Page {
    uint8_t bytes[4096] = {};
    bool readable[4096] = {};
  };
  std::map<Handle, std::map<Address, Page>> memory_;
  std::map<Handle, std::vector<FakeRegion>> regions_;
  std::map<Handle, std::map<Address, std::string>> modules_;
};

/// Builders of debug event records.
DebugEventRecord makeEvent(uint32_t code, uint32_t pid, uint32_t tid);
DebugEventRecord makeException(uint32_t pid, uint32_t tid, uint32_t code, uint32_t address,
                               bool firstChance, uint32_t flags = 0,
                               std::vector<uint32_t> params = {});
DebugEventRecord makeCreateProcess(uint32_t pid, uint32_t tid, Handle hProcess, Handle hThread,
                                   Address imageBase, Address startAddress,
                                   Address imageNamePtr = 0, uint16_t unicode = 0,
                                   Handle hFile = 0);
DebugEventRecord makeCreateThread(uint32_t pid, uint32_t tid, Handle hThread, Address tlb,
                                  Address start);
DebugEventRecord makeExitThread(uint32_t pid, uint32_t tid, uint32_t code);
DebugEventRecord makeExitProcess(uint32_t pid, uint32_t tid, uint32_t code);
DebugEventRecord makeLoadDll(uint32_t pid, uint32_t tid, Handle hFile, Address base,
                             Address imageNamePtr, uint16_t unicode);
DebugEventRecord makeUnloadDll(uint32_t pid, uint32_t tid, Address base);
DebugEventRecord makeDebugString(uint32_t pid, uint32_t tid, Address data, uint16_t length,
                                 uint16_t unicode);

}  // namespace ostrel::fake
