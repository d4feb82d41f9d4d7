#include "engine/exception_text.h"

#include <cstdint>

#include "common/format.h"

namespace ostrel {

namespace {

struct FlagText {
  uint32_t flags;
  const char* text;
};

// The whole flags value is matched; the last four deliberately carry no separator.
constexpr FlagText kFlagTexts[] = {
    {0x00, "Contunuable - "},
    {0x01, "Non continuable - "},
    {0x02, "Unwinding - "},
    {0x04, "Unwinding for exit - "},
    {0x06, "Unwind in progress - "},
    {0x08, "Exception stack invalid"},
    {0x10, "Exception nested call"},
    {0x20, "Exception target unwind"},
    {0x40, "Exception Colided unwind"},
};

struct CodeText {
  uint32_t code;
  const char* text;
};

// Access violations (0xC0000005) are described by accessViolationText instead.
constexpr CodeText kCodeTexts[] = {
    {0x00000000, "Wait object 0"},
    {0x00000080, "Wait abandoned"},
    {0x000000C0, "Wait IO completion"},
    {0x00000102, "Wait timeout"},
    {0x00000103, "Stil Active"},
    {0x0EEDFADE, "Delphi exception"},
    {0x0EEDFADF, "Delphi re-raise"},
    {0x0EEDFAE0, "Delphi except"},
    {0x0EEDFAE1, "Delphi finally"},
    {0x0EEDFAE2, "Delphi terminate"},
    {0x0EEDFAE3, "Delphi unhandled"},
    {0x0EEDFAE4, "Non delphi exception"},
    {0x0EEDFAE5, "Delphi exit finally"},
    {0x0EEFFACE, "C++ exception"},
    {0x40000005, "Segment notification"},
    {0x40010005, "Control-C Exit"},
    {0x80000001, "Exception guard page violation"},
    {0x80000002, "Datatype Misalignment"},
    {0x80000003, "Breakpoint"},
    {0x80000004, "Single Step"},
    {0xC0000006, "In Page Error"},
    {0xC0000008, "Invalid handle"},
    {0xC0000017, "No memory"},
    {0xC000001D, "Illegal Instruction"},
    {0xC0000025, "Noncontinuable Exception"},
    {0xC0000026, "Invalid Disposition"},
    {0xC000008C, "Array Bounds Exceeded"},
    {0xC000008D, "Float Denormal Operand"},
    {0xC000008E, "Float Divide by Zero"},
    {0xC000008F, "Float Inexact Result"},
    {0xC0000090, "Float Invalid Operation"},
    {0xC0000091, "Float Overflow"},
    {0xC0000092, "Float Stack Check"},
    {0xC0000093, "Float Underflow"},
    {0xC0000094, "Int Divide by Zero"},
    {0xC0000095, "Int Overflow"},
    {0xC0000096, "Privlidged Instruction"},
    {0xC00000FD, "Stack Overflow"},
    {0xFFFFFFFF, "Wait failed"},
};

}  // namespace

std::string exceptionFlagsText(uint32_t flags) {
  for (const auto& f : kFlagTexts)
    if (f.flags == flags) return f.text;
  return {};
}

std::string exceptionCodeText(uint32_t code) {
  for (const auto& c : kCodeTexts)
    if (c.code == code) return c.text;
  return "Unknown Error, (" + hex8(code) + ")";
}

namespace {

// moduleFile: the file name of the module holding the exception address, empty when none
// does or it is not known.
std::string accessViolationSentence(const ExceptionRecord32& record, const std::string& moduleFile) {
  const uint32_t kind = record.ExceptionInformation[0];
  const uint32_t dataAddress = record.ExceptionInformation[1];
  const std::string access = kind != 0 ? "Write" : "Read";
  const Address at = record.ExceptionAddress;

  if (at == 0) {
    // No module holds a null address: its slot stays empty.
    return "Access violation at address ???????? in module ''. " + access + " of address " +
           hex8(dataAddress);
  }
  if (!moduleFile.empty()) {
    return "Access violation at address " + hex8(at) + " in module '" + moduleFile + "'. " +
           access + " of address " + hex8(dataAddress);
  }
  return "Access violation at address " + hex8(at) + ". " + access + " of address " +
         hex8(dataAddress);
}

}  // namespace

std::string accessViolationText(DebugPlatform& platform, Handle process,
                                const ExceptionRecord32& record) {
  std::string module;
  const Address at = record.ExceptionAddress;
  if (at != 0) {
    if (auto region = platform.queryRegion(process, at); region && region->state == kMemCommit)
      module = platform.moduleFileName(process, region->allocationBase);
  }
  return accessViolationSentence(record, module.empty() ? module : extractFileName(module));
}

std::string exceptionDescription(const ExceptionRecord32& record, const std::string& moduleFile) {
  std::string text = exceptionFlagsText(record.ExceptionFlags);
  if (record.ExceptionCode == kExceptionAccessViolation)
    text += accessViolationSentence(record, moduleFile);
  else
    text += exceptionCodeText(record.ExceptionCode);
  return text;
}

std::string exceptionDescription(DebugPlatform& platform, Handle process,
                                 const ExceptionRecord32& record) {
  std::string text = exceptionFlagsText(record.ExceptionFlags);
  if (record.ExceptionCode == kExceptionAccessViolation)
    text += accessViolationText(platform, process, record);
  else
    text += exceptionCodeText(record.ExceptionCode);
  return text;
}

}  // namespace ostrel
