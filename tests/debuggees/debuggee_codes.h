// What the sample debuggees do, shared with the tests that watch them: exit codes,
// exception codes and the texts they emit.
#pragma once

#include <cstdint>
#include <string>

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 9;
constexpr int kExitStrings = 11;
constexpr int kExitThreads = 12;
constexpr int kExitDllCycles = 13;
constexpr int kExitBreakpoint = 14;
constexpr int kExitCustomHandled = 15;
constexpr int kExitChild = 16;
constexpr int kExitSleep = 17;
constexpr int kExitStringsBench = 18;
constexpr int kExitChildBody = 19;
constexpr int kExitArgs = 20;
constexpr int kExitSoak = 21;
constexpr int kExitHold = 30;
constexpr int kExitRaiseMany = 31;

constexpr uint32_t kCustomCode = 0xE0000001;   // raised and left unhandled
constexpr uint32_t kHandledCode = 0xE0000002;  // raised and handled by the debuggee

// Levels of recursion in the framed-av scenario's chain.
constexpr int kFramedDepth = 40;

constexpr const char* kTestDllName = "dbg_testdll.dll";
// The call chains through DLLs: one named by its own map, one by its exports only.
constexpr const char* kChainDllName = "dbg_chaindll.dll";
constexpr const char* kExportDllName = "dbg_exportdll.dll";
constexpr const char* kAnsiText = "ANSI debug string";
// U+00E9 has a single-byte form in the Western code pages.
constexpr const wchar_t* kWideText = L"Unicode debug string \u00e9t\u00e9";
constexpr const char* kChildTextPrefix = "child process ";
// The hold scenario's debug string once its threads, DLL and child are all in place.
constexpr const char* kHeldText = "threads, DLL and child held";
constexpr int kLongTextLength = 5000;

/// 5,000 characters that name their own position every 10 characters, so a cut or a
/// lost block shows where it happened.
inline std::string longDebugString() {
  std::string text;
  while (text.size() < static_cast<size_t>(kLongTextLength)) {
    std::string block = "[" + std::to_string(text.size()) + "]";
    block.resize(10, '.');
    text += block;
  }
  text.resize(kLongTextLength);
  return text;
}
