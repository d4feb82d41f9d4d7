// Fixed-layout copies of the two Win32 records that cross the OS seam: the 96-byte
// DEBUG_EVENT and the 204-byte x86 CONTEXT (flags 0x00010007). Handles and addresses
// are 32-bit values here; the Windows side checks sizes and offsets against the real
// structs and copies bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

using Handle = uint32_t;
using Address = uint32_t;

enum DebugEventCode : uint32_t {
  EXCEPTION_DEBUG_EVENT_CODE = 1,
  CREATE_THREAD_DEBUG_EVENT_CODE = 2,
  CREATE_PROCESS_DEBUG_EVENT_CODE = 3,
  EXIT_THREAD_DEBUG_EVENT_CODE = 4,
  EXIT_PROCESS_DEBUG_EVENT_CODE = 5,
  LOAD_DLL_DEBUG_EVENT_CODE = 6,
  UNLOAD_DLL_DEBUG_EVENT_CODE = 7,
  OUTPUT_DEBUG_STRING_EVENT_CODE = 8,
  RIP_EVENT_CODE = 9,
};

constexpr uint32_t kDbgContinue = 0x00010002;
constexpr uint32_t kDbgExceptionNotHandled = 0x80010001;
constexpr uint32_t kExceptionBreakpoint = 0x80000003;
constexpr uint32_t kExceptionAccessViolation = 0xC0000005;
constexpr uint32_t kExceptionStackOverflow = 0xC00000FD;
constexpr uint32_t kMemCommit = 0x1000;

struct ExceptionRecord32 {
  uint32_t ExceptionCode;
  uint32_t ExceptionFlags;
  uint32_t ExceptionRecord;
  uint32_t ExceptionAddress;
  uint32_t NumberParameters;
  uint32_t ExceptionInformation[15];
};

struct ExceptionDebugInfo32 {
  ExceptionRecord32 ExceptionRecord;
  uint32_t dwFirstChance;
};

struct CreateThreadDebugInfo32 {
  Handle hThread;
  Address lpThreadLocalBase;
  Address lpStartAddress;
};

struct CreateProcessDebugInfo32 {
  Handle hFile;
  Handle hProcess;
  Handle hThread;
  Address lpBaseOfImage;
  uint32_t dwDebugInfoFileOffset;
  uint32_t nDebugInfoSize;
  Address lpThreadLocalBase;
  Address lpStartAddress;
  Address lpImageName;
  uint16_t fUnicode;
};

struct ExitThreadDebugInfo32 {
  uint32_t dwExitCode;
};

struct ExitProcessDebugInfo32 {
  uint32_t dwExitCode;
};

struct LoadDllDebugInfo32 {
  Handle hFile;
  Address lpBaseOfDll;
  uint32_t dwDebugInfoFileOffset;
  uint32_t nDebugInfoSize;
  Address lpImageName;
  uint16_t fUnicode;
};

struct UnloadDllDebugInfo32 {
  Address lpBaseOfDll;
};

struct OutputDebugStringInfo32 {
  Address lpDebugStringData;
  uint16_t fUnicode;
  uint16_t nDebugStringLength;
};

struct RipInfo32 {
  uint32_t dwError;
  uint32_t dwType;
};

/// Byte-for-byte image of a 32-bit DEBUG_EVENT.
struct DebugEventRecord {
  uint32_t dwDebugEventCode;
  uint32_t dwProcessId;
  uint32_t dwThreadId;
  union {
    ExceptionDebugInfo32 Exception;
    CreateThreadDebugInfo32 CreateThread;
    CreateProcessDebugInfo32 CreateProcessInfo;
    ExitThreadDebugInfo32 ExitThread;
    ExitProcessDebugInfo32 ExitProcess;
    LoadDllDebugInfo32 LoadDll;
    UnloadDllDebugInfo32 UnloadDll;
    OutputDebugStringInfo32 DebugString;
    RipInfo32 RipInfo;
  } u;
};
static_assert(sizeof(DebugEventRecord) == 96);
static_assert(offsetof(DebugEventRecord, u) == 12);
static_assert(offsetof(DebugEventRecord, u.Exception.dwFirstChance) == 92);
static_assert(offsetof(DebugEventRecord, u.CreateProcessInfo.fUnicode) == 48);
static_assert(offsetof(DebugEventRecord, u.LoadDll.fUnicode) == 32);
static_assert(offsetof(DebugEventRecord, u.DebugString.nDebugStringLength) == 18);

constexpr uint32_t kContextI386Full = 0x00010007;

/// The 204-byte x86 CONTEXT without the extended-register area.
struct ThreadContext {
  uint32_t ContextFlags;
  uint32_t Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
  uint8_t FloatSave[112];
  uint32_t SegGs, SegFs, SegEs, SegDs;
  uint32_t Edi, Esi, Ebx, Edx, Ecx, Eax;
  uint32_t Ebp, Eip, SegCs, EFlags, Esp, SegSs;
};
static_assert(sizeof(ThreadContext) == 204);
static_assert(offsetof(ThreadContext, SegFs) == 144);
static_assert(offsetof(ThreadContext, Esp) == 196);

/// The first 48 bytes of a thread information block.
struct StackInfoBlock {
  uint32_t ExceptionList;  // +0 head of the exception-registration chain
  uint32_t StackBase;      // +4 upper end of the stack
  uint32_t StackLimit;     // +8 lower end of the committed stack
  uint32_t Rest[9];
};
static_assert(sizeof(StackInfoBlock) == 48);

}  // namespace ostrel
