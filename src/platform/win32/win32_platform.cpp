// The seam's records are byte images of the real ones: checked here once, then copied
// with memcpy. Calls that older systems (or Wine) may lack are resolved by name.
#include "platform/win32/win32_platform.h"

#include <windows.h>
// after windows.h, which it needs
#include <psapi.h>
// after windows.h, which it needs
#include <dbghelp.h>

#include <cstddef>
#include <cstring>
#include <mutex>

namespace ostrel {

static_assert(sizeof(void*) == 4, "the seam carries 32-bit handles and addresses");
static_assert(sizeof(DEBUG_EVENT) == sizeof(DebugEventRecord));
static_assert(offsetof(DEBUG_EVENT, u) == offsetof(DebugEventRecord, u));
static_assert(offsetof(DEBUG_EVENT, u.Exception.dwFirstChance) ==
              offsetof(DebugEventRecord, u.Exception.dwFirstChance));
static_assert(offsetof(DEBUG_EVENT, u.Exception.ExceptionRecord.ExceptionInformation) ==
              offsetof(DebugEventRecord, u.Exception.ExceptionRecord.ExceptionInformation));
static_assert(offsetof(DEBUG_EVENT, u.CreateProcessInfo.lpImageName) ==
              offsetof(DebugEventRecord, u.CreateProcessInfo.lpImageName));
static_assert(offsetof(DEBUG_EVENT, u.CreateProcessInfo.fUnicode) ==
              offsetof(DebugEventRecord, u.CreateProcessInfo.fUnicode));
static_assert(offsetof(DEBUG_EVENT, u.LoadDll.fUnicode) ==
              offsetof(DebugEventRecord, u.LoadDll.fUnicode));
static_assert(offsetof(DEBUG_EVENT, u.DebugString.nDebugStringLength) ==
              offsetof(DebugEventRecord, u.DebugString.nDebugStringLength));
static_assert(offsetof(DEBUG_EVENT, u.RipInfo.dwType) ==
              offsetof(DebugEventRecord, u.RipInfo.dwType));
// The seam's context is the x86 CONTEXT up to its extended-register area.
static_assert(offsetof(CONTEXT, ExtendedRegisters) == sizeof(ThreadContext));
static_assert(offsetof(CONTEXT, FloatSave) == offsetof(ThreadContext, FloatSave));
static_assert(sizeof(FLOATING_SAVE_AREA) == sizeof(ThreadContext::FloatSave));
static_assert(offsetof(CONTEXT, SegGs) == offsetof(ThreadContext, SegGs));
static_assert(offsetof(CONTEXT, SegFs) == offsetof(ThreadContext, SegFs));
static_assert(offsetof(CONTEXT, Eip) == offsetof(ThreadContext, Eip));
static_assert(offsetof(CONTEXT, Esp) == offsetof(ThreadContext, Esp));
static_assert(offsetof(CONTEXT, SegSs) == offsetof(ThreadContext, SegSs));

namespace {

HANDLE toHandle(Handle h) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h)); }
Handle fromHandle(HANDLE h) { return static_cast<Handle>(reinterpret_cast<uintptr_t>(h)); }
const void* toPointer(Address a) {
  return reinterpret_cast<const void*>(static_cast<uintptr_t>(a));
}

template <typename Fn>
Fn resolve(const char* module, const char* name) {
  HMODULE m = GetModuleHandleA(module);
  if (m == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

using DebugActiveProcessStopFn = BOOL(WINAPI*)(DWORD);
using SetDebugErrorLevelFn = VOID(WINAPI*)(DWORD);
using DebugSetProcessKillOnExitFn = BOOL(WINAPI*)(BOOL);
using NtQueryInformationThreadFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using GetThreadIdFn = DWORD(WINAPI*)(HANDLE);

DebugActiveProcessStopFn debugActiveProcessStopFn() {
  static const auto fn =
      resolve<DebugActiveProcessStopFn>("kernel32.dll", "DebugActiveProcessStop");
  return fn;
}

// Layout of the 28-byte THREAD_BASIC_INFORMATION record of a 32-bit process.
struct ThreadBasicInformation32 {
  LONG ExitStatus;
  DWORD TebBaseAddress;
  DWORD UniqueProcess;
  DWORD UniqueThread;
  DWORD AffinityMask;
  LONG Priority;
  LONG BasePriority;
};
static_assert(sizeof(ThreadBasicInformation32) == 28);

constexpr ULONG kThreadBasicInformation = 0;
constexpr uint32_t kSelfOffset = 0x18;
constexpr uint32_t kThreadIdOffset = 0x24;

// The block at base is an information block when its self pointer names base. Where
// the thread's id is known it must match too: selector bases that belong to some other
// thread (Wine answers the caller's own block for every selector) can point to
// themselves in the debuggee as well when block addresses coincide.
bool isOwnInfoBlock(HANDLE process, HANDLE thread, DWORD base) {
  StackInfoBlock block{};
  SIZE_T read = 0;
  if (!ReadProcessMemory(process, toPointer(base), &block, sizeof block, &read) ||
      read != sizeof block)
    return false;
  uint32_t self = 0, threadId = 0;
  std::memcpy(&self, reinterpret_cast<const char*>(&block) + kSelfOffset, 4);
  std::memcpy(&threadId, reinterpret_cast<const char*>(&block) + kThreadIdOffset, 4);
  if (self != base) return false;
  static const auto getThreadId = resolve<GetThreadIdFn>("kernel32.dll", "GetThreadId");
  DWORD expected = getThreadId != nullptr ? getThreadId(thread) : 0;
  return expected == 0 || expected == threadId;
}

std::string trimLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return text;
}

std::string localeText(LCTYPE type) {
  char buffer[16] = {};
  int n = GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, sizeof buffer);
  if (n <= 0) return {};
  return std::string(buffer, strnlen(buffer, static_cast<size_t>(n)));
}

// The version block of a file, empty when it has none.
std::vector<char> versionBlock(const std::string& name) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(name.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<char> block(size);
  if (!GetFileVersionInfoA(name.c_str(), 0, size, block.data())) return {};
  return block;
}

}  // namespace

std::optional<ProcessStartInfo> Win32Platform::createProcess(const std::string& commandLine,
                                                             std::string* error) {
  // CreateProcessA may write into the command line, so it gets its own buffer.
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, DEBUG_PROCESS, nullptr,
                      nullptr, &startup, &info)) {
    if (error != nullptr) *error = lastErrorText();
    return std::nullopt;
  }
  ProcessStartInfo result;
  result.hProcess = fromHandle(info.hProcess);
  result.hThread = fromHandle(info.hThread);
  result.processId = info.dwProcessId;
  result.threadId = info.dwThreadId;
  return result;
}

Handle Win32Platform::openProcess(uint32_t processId) {
  return fromHandle(OpenProcess(0x001F0FFF, FALSE, processId));
}

bool Win32Platform::debugActiveProcess(uint32_t processId) {
  return DebugActiveProcess(processId) != FALSE;
}

bool Win32Platform::hasDebugActiveProcessStop() { return debugActiveProcessStopFn() != nullptr; }

bool Win32Platform::debugActiveProcessStop(uint32_t processId) {
  auto fn = debugActiveProcessStopFn();
  if (fn == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  return fn(processId) != FALSE;
}

bool Win32Platform::setKillOnExit(bool kill) {
  static const auto fn =
      resolve<DebugSetProcessKillOnExitFn>("kernel32.dll", "DebugSetProcessKillOnExit");
  return fn != nullptr && fn(kill ? TRUE : FALSE) != FALSE;
}

void Win32Platform::setDebugErrorLevel(uint32_t level) {
  // A console program may not have user32 loaded yet; the module stays loaded for the rest
  // of the program, so the resolved address stays valid.
  static const auto fn = [] {
    HMODULE user32 = LoadLibraryA("user32.dll");
    return user32 == nullptr ? nullptr
                             : reinterpret_cast<SetDebugErrorLevelFn>(reinterpret_cast<void*>(
                                   GetProcAddress(user32, "SetDebugErrorLevel")));
  }();
  if (fn != nullptr) fn(level);
}

WaitResult Win32Platform::waitForDebugEvent(DebugEventRecord& event, uint32_t timeoutMs) {
  DEBUG_EVENT raw;
  std::memset(&raw, 0, sizeof raw);
  if (WaitForDebugEvent(&raw, timeoutMs)) {
    std::memcpy(&event, &raw, sizeof event);
    return WaitResult::Event;
  }
  DWORD code = GetLastError();
  if (code == ERROR_SEM_TIMEOUT || code == WAIT_TIMEOUT) return WaitResult::Timeout;
  SetLastError(code);
  return WaitResult::Failed;
}

bool Win32Platform::continueDebugEvent(uint32_t processId, uint32_t threadId, uint32_t status) {
  return ContinueDebugEvent(processId, threadId, status) != FALSE;
}

bool Win32Platform::terminateProcess(Handle process, uint32_t exitCode) {
  return TerminateProcess(toHandle(process), exitCode) != FALSE;
}

void Win32Platform::closeHandle(Handle h) {
  if (h != 0) CloseHandle(toHandle(h));
}

bool Win32Platform::systemClosesExitedHandles() {
  // Windows' ContinueDebugEvent closes the handles of an exit event, and its
  // DebugActiveProcessStop those of the process let go; Wine's close nothing.
  static const bool underWine = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return !underWine;
}

std::string Win32Platform::lastErrorText() {
  DWORD code = GetLastError();
  char buffer[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buffer, sizeof buffer, nullptr);
  std::string text = trimLineEnd(std::string(buffer, n < sizeof buffer ? n : sizeof buffer - 1));
  if (text.empty()) text = "Error " + std::to_string(code);
  SetLastError(code);
  return text;
}

bool Win32Platform::readMemory(Handle process, Address address, void* buffer, uint32_t size,
                               uint32_t* bytesRead) {
  SIZE_T read = 0;
  BOOL ok = ReadProcessMemory(toHandle(process), toPointer(address), buffer, size, &read);
  if (bytesRead != nullptr) *bytesRead = static_cast<uint32_t>(read);
  return ok != FALSE;
}

std::optional<MemoryRegion> Win32Platform::queryRegion(Handle process, Address address) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQueryEx(toHandle(process), toPointer(address), &info, sizeof info) == 0)
    return std::nullopt;
  MemoryRegion region;
  region.allocationBase = static_cast<Address>(reinterpret_cast<uintptr_t>(info.AllocationBase));
  region.state = info.State;
  region.type = info.Type;
  region.regionBase = static_cast<Address>(reinterpret_cast<uintptr_t>(info.BaseAddress));
  region.regionSize = static_cast<uint32_t>(info.RegionSize);
  return region;
}

bool Win32Platform::getThreadContext(Handle thread, ThreadContext& context) {
  // CONTEXT needs its natural alignment; the seam's copy has none to offer.
  CONTEXT raw;
  std::memset(&raw, 0, sizeof raw);
  raw.ContextFlags = context.ContextFlags != 0 ? context.ContextFlags : kContextI386Full;
  if (!GetThreadContext(toHandle(thread), &raw)) return false;
  std::memcpy(&context, &raw, sizeof context);
  return true;
}

std::optional<Address> Win32Platform::threadInfoBlockAddress(Handle process, Handle thread,
                                                             uint32_t fsSelector) {
  HANDLE hProcess = toHandle(process);
  HANDLE hThread = toHandle(thread);
  LDT_ENTRY entry{};
  if (GetThreadSelectorEntry(hThread, fsSelector, &entry)) {
    DWORD base = static_cast<DWORD>(entry.BaseLow) |
                 (static_cast<DWORD>(entry.HighWord.Bytes.BaseMid) << 16) |
                 (static_cast<DWORD>(entry.HighWord.Bytes.BaseHi) << 24);
    if (base != 0 && isOwnInfoBlock(hProcess, hThread, base)) return base;
  }
  static const auto query =
      resolve<NtQueryInformationThreadFn>("ntdll.dll", "NtQueryInformationThread");
  if (query == nullptr) return std::nullopt;
  ThreadBasicInformation32 info{};
  ULONG length = 0;
  if (query(hThread, kThreadBasicInformation, &info, sizeof info, &length) != 0 ||
      info.TebBaseAddress == 0)
    return std::nullopt;
  return info.TebBaseAddress;
}

std::optional<std::vector<Address>> Win32Platform::enumProcessModules(Handle process) {
  std::vector<HMODULE> modules(256);
  // The list may grow between the size answer and the fetch; a few rounds settle it.
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD capacity = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
    DWORD needed = 0;
    if (!EnumProcessModules(toHandle(process), modules.data(), capacity, &needed))
      return std::nullopt;
    if (needed <= capacity) {
      std::vector<Address> result;
      result.reserve(needed / sizeof(HMODULE));
      for (DWORD i = 0; i < needed / sizeof(HMODULE); ++i)
        result.push_back(static_cast<Address>(reinterpret_cast<uintptr_t>(modules[i])));
      return result;
    }
    modules.resize(needed / sizeof(HMODULE) + 16);
  }
  return std::nullopt;
}

std::string Win32Platform::moduleFileName(Handle process, Address module) {
  char buffer[261] = {};
  DWORD n = GetModuleFileNameExA(toHandle(process),
                                 reinterpret_cast<HMODULE>(static_cast<uintptr_t>(module)), buffer,
                                 sizeof buffer);
  if (n == 0) return {};
  return std::string(buffer, strnlen(buffer, n < sizeof buffer ? n : sizeof buffer));
}

uint32_t Win32Platform::fileType(Handle file) { return GetFileType(toHandle(file)); }

uint32_t Win32Platform::readFileAt(Handle file, uint32_t offset, void* buffer, uint32_t size) {
  HANDLE h = toHandle(file);
  // With a high part given the low part counts as unsigned, so offsets past 2 GiB work.
  LONG high = 0;
  DWORD pos = SetFilePointer(h, static_cast<LONG>(offset), &high, FILE_BEGIN);
  if (pos == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return 0;
  DWORD read = 0;
  if (!ReadFile(h, buffer, size, &read, nullptr)) return 0;
  return read;
}

std::string Win32Platform::imageFileName(Handle file) {
  using GetFinalPathFn = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
  static const auto getFinalPath =
      resolve<GetFinalPathFn>("kernel32.dll", "GetFinalPathNameByHandleA");
  if (getFinalPath == nullptr || file == 0) return {};
  // Too small a buffer is answered with the size needed, terminator included.
  std::string path(MAX_PATH + 8, '\0');
  DWORD n = getFinalPath(toHandle(file), path.data(), static_cast<DWORD>(path.size()), 0);
  if (n >= path.size() && n < 0x10000) {
    path.assign(n + 1, '\0');
    n = getFinalPath(toHandle(file), path.data(), static_cast<DWORD>(path.size()), 0);
  }
  if (n == 0 || n >= path.size()) return {};
  path.resize(n);
  if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\" + path.substr(7);
  if (path.rfind("\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

bool Win32Platform::writeMinidump(const MinidumpRequest& request, std::string* error) {
  auto fail = [&] {
    if (error != nullptr) *error = lastErrorText();
    return false;
  };
  // The exception's registers as the thread has them now, with the floating-point and
  // extended parts the session's copy leaves out; the session's copy where the thread
  // cannot be read (an exhausted stack is left alone).
  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  bool live = false;
  if (request.exception != nullptr && request.thread != 0) {
    context.ContextFlags = CONTEXT_ALL;
    live = GetThreadContext(toHandle(request.thread), &context) != FALSE;
  }
  if (!live) {
    std::memset(&context, 0, sizeof context);
    std::memcpy(&context, &request.context, sizeof request.context);
    if (context.ContextFlags == 0) context.ContextFlags = kContextI386Full;
  }
  EXCEPTION_RECORD record;
  std::memset(&record, 0, sizeof record);
  EXCEPTION_POINTERS pointers{&record, &context};
  MINIDUMP_EXCEPTION_INFORMATION exceptionInfo{};
  if (request.exception != nullptr) {
    const ExceptionRecord32& r = *request.exception;
    record.ExceptionCode = r.ExceptionCode;
    record.ExceptionFlags = r.ExceptionFlags;
    record.ExceptionAddress = const_cast<void*>(toPointer(r.ExceptionAddress));
    record.NumberParameters = r.NumberParameters < EXCEPTION_MAXIMUM_PARAMETERS
                                  ? r.NumberParameters
                                  : EXCEPTION_MAXIMUM_PARAMETERS;
    for (DWORD i = 0; i < record.NumberParameters; ++i)
      record.ExceptionInformation[i] = r.ExceptionInformation[i];
    // The record and the context live in this process: the pointers are ours.
    exceptionInfo.ThreadId = request.threadId;
    exceptionInfo.ExceptionPointers = &pointers;
    exceptionInfo.ClientPointers = FALSE;
  }

  HANDLE file = CreateFileA(request.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail();
  const MINIDUMP_TYPE type =
      request.kind == MinidumpKind::FullMemory ? MiniDumpWithFullMemory : MiniDumpNormal;
  BOOL written;
  {
    // dbghelp is single-threaded; two sessions may crash at once.
    static std::mutex dbghelp;
    std::lock_guard lock(dbghelp);
    // The dump needs the module list, not the modules' symbols: dbghelp under Wine would
    // read every module's debug information first (about 250 ms at each write).
    const DWORD options = SymGetOptions();
    SymSetOptions(options | SYMOPT_DEFERRED_LOADS);
    written = MiniDumpWriteDump(toHandle(request.process), request.processId, file, type,
                                request.exception != nullptr ? &exceptionInfo : nullptr, nullptr,
                                nullptr);
    SymSetOptions(options);
  }
  if (!written) {
    // A half-written dump would only mislead its readers.
    const DWORD code = GetLastError();
    CloseHandle(file);
    DeleteFileA(request.path.c_str());
    SetLastError(code);
    return fail();
  }
  if (!CloseHandle(file)) return fail();
  return true;
}

std::optional<FileFacts> Win32Platform::findFile(const std::string& name) {
  if (name.empty()) return std::nullopt;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(name.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return std::nullopt;
  FindClose(find);
  FileFacts facts;
  facts.sizeLow = data.nFileSizeLow;
  FILETIME local{};
  SYSTEMTIME time{};
  if (FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) &&
      FileTimeToSystemTime(&local, &time)) {
    facts.year = time.wYear;
    facts.month = time.wMonth;
    facts.day = time.wDay;
  }
  return facts;
}

std::optional<std::string> Win32Platform::fileVersionString(const std::string& name,
                                                            const std::string& subBlock) {
  std::vector<char> block = versionBlock(name);
  if (block.empty()) return std::nullopt;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), subBlock.c_str(), &value, &length) || value == nullptr)
    return std::nullopt;
  // The value must lie inside the block; its length counts characters with the end mark.
  const char* text = static_cast<const char*>(value);
  const char* end = block.data() + block.size();
  if (text < block.data() || text >= end) return std::nullopt;
  size_t limit = static_cast<size_t>(end - text);
  if (length < limit) limit = length;
  return std::string(text, strnlen(text, limit));
}

std::optional<uint32_t> Win32Platform::fileVersionMS(const std::string& name) {
  std::vector<char> block = versionBlock(name);
  if (block.empty()) return std::nullopt;
  void* value = nullptr;
  UINT length = 0;
  char root[] = "\\";
  if (!VerQueryValueA(block.data(), root, &value, &length) || value == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO))
    return std::nullopt;
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, value, sizeof fixed);
  if (fixed.dwSignature != 0xFEEF04BD) return std::nullopt;
  return fixed.dwFileVersionMS;
}

std::string Win32Platform::wideToAnsi(std::u16string_view text) {
  if (text.empty()) return {};
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  int length = static_cast<int>(text.size());
  int n = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string result(static_cast<size_t>(n), '\0');
  n = WideCharToMultiByte(CP_ACP, 0, wide, length, result.data(), n, nullptr, nullptr);
  result.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return result;
}

std::string Win32Platform::thousandSeparator() { return localeText(LOCALE_STHOUSAND); }

std::string Win32Platform::dateSeparator() { return localeText(LOCALE_SDATE); }

}  // namespace ostrel
