#include "fake_platform.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace ostrel::fake {

void FakePlatform::queueEvent(const DebugEventRecord& event) {
  std::lock_guard lock(mutex_);
  events_.push_back(event);
  eventQueued_.notify_all();
}

void FakePlatform::poke(Handle process, Address address, const void* data, size_t size) {
  std::lock_guard lock(mutex_);
  auto* src = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) {
    Address a = address + static_cast<Address>(i);
    Page& page = memory_[process][a & ~0xFFFu];
    page.bytes[a & 0xFFF] = src[i];
    page.readable[a & 0xFFF] = true;
  }
}

void FakePlatform::pokeString(Handle process, Address address, const std::string& text) {
  poke(process, address, text.c_str(), text.size() + 1);
}

void FakePlatform::pokeU16(Handle process, Address address, const std::u16string& text) {
  poke(process, address, text.c_str(), (text.size() + 1) * 2);
}

void FakePlatform::poke32(Handle process, Address address, uint32_t value) {
  uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
  poke(process, address, b, 4);
}

void FakePlatform::unmap(Handle process, Address address, uint32_t size) {
  std::lock_guard lock(mutex_);
  for (uint32_t i = 0; i < size; ++i) {
    Address a = address + i;
    auto& pages = memory_[process];
    auto it = pages.find(a & ~0xFFFu);
    if (it != pages.end()) it->second.readable[a & 0xFFF] = false;
  }
}

void FakePlatform::addRegion(Handle process, const FakeRegion& region) {
  std::lock_guard lock(mutex_);
  regions_[process].push_back(region);
}

void FakePlatform::addModule(Handle process, Address base, const std::string& path) {
  std::lock_guard lock(mutex_);
  modules_[process][base] = path;
}

std::optional<ProcessStartInfo> FakePlatform::createProcess(const std::string& commandLine,
                                                            std::string* error) {
  commandLines.push_back(commandLine);
  if (!startResult && error) *error = startError;
  return startResult;
}

Handle FakePlatform::openProcess(uint32_t) { return 0x200; }

bool FakePlatform::debugActiveProcess(uint32_t) { return attachResult; }

bool FakePlatform::debugActiveProcessStop(uint32_t processId) {
  if (detachThrows) throw std::runtime_error(*detachThrows);
  detached.push_back(processId);
  return detachAvailable;
}

WaitResult FakePlatform::waitForDebugEvent(DebugEventRecord& event, uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  ++waits;
  if (events_.empty() && endless) {
    event = *endless;
    return WaitResult::Event;
  }
  if (events_.empty() && failWhenEmpty) return WaitResult::Failed;
  if (!eventQueued_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return !events_.empty(); }))
    return failWhenEmpty ? WaitResult::Failed : WaitResult::Timeout;
  event = events_.front();
  events_.pop_front();
  return WaitResult::Event;
}

bool FakePlatform::continueDebugEvent(uint32_t processId, uint32_t threadId, uint32_t status) {
  std::lock_guard lock(mutex_);
  continues.push_back({processId, threadId, status});
  return !failContinue;
}

size_t FakePlatform::pendingEvents() {
  std::lock_guard lock(mutex_);
  return events_.size();
}

size_t FakePlatform::continueCount() {
  std::lock_guard lock(mutex_);
  return continues.size();
}

bool FakePlatform::terminateProcess(Handle process, uint32_t) {
  terminated.push_back(process);
  return true;
}

void FakePlatform::closeHandle(Handle h) { closed.push_back(h); }

bool FakePlatform::readMemory(Handle process, Address address, void* buffer, uint32_t size,
                              uint32_t* bytesRead) {
  std::lock_guard lock(mutex_);
  ++readCalls;
  if (bytesRead) *bytesRead = 0;
  auto procIt = memory_.find(process);
  if (procIt == memory_.end()) return false;
  auto* out = static_cast<uint8_t*>(buffer);
  for (uint32_t i = 0; i < size; ++i) {
    Address a = address + i;
    if (a < address) return false;  // wrapped
    auto it = procIt->second.find(a & ~0xFFFu);
    if (it == procIt->second.end() || !it->second.readable[a & 0xFFF]) return false;
    out[i] = it->second.bytes[a & 0xFFF];
  }
  if (bytesRead) *bytesRead = size;
  return true;
}

std::optional<MemoryRegion> FakePlatform::queryRegion(Handle process, Address address) {
  std::lock_guard lock(mutex_);
  const auto& regions = regions_[process];
  for (size_t i = 0; i < regions.size(); ++i) {
    const FakeRegion& r = regions[i];
    if (address < r.base || address - r.base >= r.size) continue;
    // The first region listed answers; the run it reports stops where an earlier listed
    // one begins, so that every address of the run gets this same answer.
    uint64_t begin = r.base, end = uint64_t{r.base} + r.size;
    for (size_t j = 0; j < i; ++j) {
      const uint64_t b = regions[j].base, e = b + regions[j].size;
      if (e <= address)
        begin = std::max(begin, e);
      else if (b > address)
        end = std::min(end, b);
    }
    return MemoryRegion{r.allocationBase, r.state, 0x1000000, static_cast<Address>(begin),
                        static_cast<uint32_t>(end - begin)};
  }
  return std::nullopt;
}

bool FakePlatform::getThreadContext(Handle thread, ThreadContext& context) {
  auto it = contexts.find(thread);
  if (it == contexts.end()) return false;
  context = it->second;
  context.ContextFlags = kContextI386Full;
  return true;
}

std::optional<Address> FakePlatform::threadInfoBlockAddress(Handle, Handle thread, uint32_t) {
  auto it = tebs.find(thread);
  if (it == tebs.end()) return std::nullopt;
  return it->second;
}

std::optional<std::vector<Address>> FakePlatform::enumProcessModules(Handle process) {
  std::lock_guard lock(mutex_);
  auto it = modules_.find(process);
  if (it == modules_.end()) return std::nullopt;
  std::vector<Address> out;
  for (const auto& [base, path] : it->second) out.push_back(base);
  return out;
}

std::string FakePlatform::moduleFileName(Handle process, Address module) {
  std::lock_guard lock(mutex_);
  auto it = modules_.find(process);
  if (it == modules_.end()) return {};
  auto m = it->second.find(module);
  return m == it->second.end() ? std::string() : m->second;
}

uint32_t FakePlatform::fileType(Handle file) {
  auto it = files.find(file);
  return it == files.end() ? 0 : it->second.type;
}

uint32_t FakePlatform::readFileAt(Handle file, uint32_t offset, void* buffer, uint32_t size) {
  auto it = files.find(file);
  if (it == files.end() || offset >= it->second.bytes.size()) return 0;
  uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(it->second.bytes.size() - offset));
  std::memcpy(buffer, it->second.bytes.data() + offset, n);
  return n;
}

bool FakePlatform::writeMinidump(const MinidumpRequest& request, std::string* error) {
  FakeDump dump{request, std::nullopt, {}};
  dump.request.exception = nullptr;
  if (request.exception) dump.exception = *request.exception;
  const std::filesystem::path path(request.path);
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path.parent_path(), ec))
    dump.folderAtWrite.push_back(entry.path().filename().string());
  std::sort(dump.folderAtWrite.begin(), dump.folderAtWrite.end());
  {
    std::lock_guard lock(mutex_);
    dumps.push_back(std::move(dump));
  }
  if (dumpFails) {
    if (error) *error = *dumpFails;
    return false;
  }
  std::ofstream(path, std::ios::binary) << "MDMP";
  return true;
}

std::optional<FileFacts> FakePlatform::findFile(const std::string& name) {
  auto it = diskFiles.find(name);
  if (it == diskFiles.end()) return std::nullopt;
  return it->second.facts;
}

std::optional<std::string> FakePlatform::fileVersionString(const std::string& name,
                                                           const std::string&) {
  auto it = diskFiles.find(name);
  if (it == diskFiles.end()) return std::nullopt;
  return it->second.versionString;
}

std::optional<uint32_t> FakePlatform::fileVersionMS(const std::string& name) {
  auto it = diskFiles.find(name);
  if (it == diskFiles.end()) return std::nullopt;
  return it->second.versionMS;
}

DebugEventRecord makeEvent(uint32_t code, uint32_t pid, uint32_t tid) {
  DebugEventRecord e;
  std::memset(&e, 0, sizeof e);
  e.dwDebugEventCode = code;
  e.dwProcessId = pid;
  e.dwThreadId = tid;
  return e;
}

DebugEventRecord makeException(uint32_t pid, uint32_t tid, uint32_t code, uint32_t address,
                               bool firstChance, uint32_t flags, std::vector<uint32_t> params) {
  DebugEventRecord e = makeEvent(EXCEPTION_DEBUG_EVENT_CODE, pid, tid);
  auto& r = e.u.Exception.ExceptionRecord;
  r.ExceptionCode = code;
  r.ExceptionFlags = flags;
  r.ExceptionAddress = address;
  r.NumberParameters = static_cast<uint32_t>(params.size());
  for (size_t i = 0; i < params.size() && i < 15; ++i) r.ExceptionInformation[i] = params[i];
  e.u.Exception.dwFirstChance = firstChance ? 1 : 0;
  return e;
}

DebugEventRecord makeCreateProcess(uint32_t pid, uint32_t tid, Handle hProcess, Handle hThread,
                                   Address imageBase, Address startAddress, Address imageNamePtr,
                                   uint16_t unicode, Handle hFile) {
  DebugEventRecord e = makeEvent(CREATE_PROCESS_DEBUG_EVENT_CODE, pid, tid);
  auto& c = e.u.CreateProcessInfo;
  c.hFile = hFile;
  c.hProcess = hProcess;
  c.hThread = hThread;
  c.lpBaseOfImage = imageBase;
  c.lpStartAddress = startAddress;
  c.lpImageName = imageNamePtr;
  c.fUnicode = unicode;
  return e;
}

DebugEventRecord makeCreateThread(uint32_t pid, uint32_t tid, Handle hThread, Address tlb,
                                  Address start) {
  DebugEventRecord e = makeEvent(CREATE_THREAD_DEBUG_EVENT_CODE, pid, tid);
  e.u.CreateThread = {hThread, tlb, start};
  return e;
}

DebugEventRecord makeExitThread(uint32_t pid, uint32_t tid, uint32_t code) {
  DebugEventRecord e = makeEvent(EXIT_THREAD_DEBUG_EVENT_CODE, pid, tid);
  e.u.ExitThread.dwExitCode = code;
  return e;
}

DebugEventRecord makeExitProcess(uint32_t pid, uint32_t tid, uint32_t code) {
  DebugEventRecord e = makeEvent(EXIT_PROCESS_DEBUG_EVENT_CODE, pid, tid);
  e.u.ExitProcess.dwExitCode = code;
  return e;
}

DebugEventRecord makeLoadDll(uint32_t pid, uint32_t tid, Handle hFile, Address base,
                             Address imageNamePtr, uint16_t unicode) {
  DebugEventRecord e = makeEvent(LOAD_DLL_DEBUG_EVENT_CODE, pid, tid);
  e.u.LoadDll.hFile = hFile;
  e.u.LoadDll.lpBaseOfDll = base;
  e.u.LoadDll.lpImageName = imageNamePtr;
  e.u.LoadDll.fUnicode = unicode;
  return e;
}

DebugEventRecord makeUnloadDll(uint32_t pid, uint32_t tid, Address base) {
  DebugEventRecord e = makeEvent(UNLOAD_DLL_DEBUG_EVENT_CODE, pid, tid);
  e.u.UnloadDll.lpBaseOfDll = base;
  return e;
}

DebugEventRecord makeDebugString(uint32_t pid, uint32_t tid, Address data, uint16_t length,
                                 uint16_t unicode) {
  DebugEventRecord e = makeEvent(OUTPUT_DEBUG_STRING_EVENT_CODE, pid, tid);
  e.u.DebugString.lpDebugStringData = data;
  e.u.DebugString.fUnicode = unicode;
  e.u.DebugString.nDebugStringLength = length;
  return e;
}

}  // namespace ostrel::fake
