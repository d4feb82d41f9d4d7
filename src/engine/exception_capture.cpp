#include "engine/exception_capture.h"

#include <cstring>

#include "common/format.h"
#include "excpack/exc_pkg_system.h"
#include "excpack/exception_log.h"
#include "excpack/global_exc_pkg_types.h"
#include "excpack/version_info.h"

namespace ostrel {

std::string storeLastChancePackage(const LastChanceCapture& capture) {
  using namespace excpack;
  std::unique_ptr<TExceptionPack> pack = TExceptionPack::Create();

  TErrorInfo* error = pack->ErrorInfo();
  const ExceptionRecord32& record = capture.event->u.Exception.ExceptionRecord;
  error->OffsetBase = capture.offsetBase;
  error->ErrorMessage = "Fatal exception occurred!";
  error->ExceptionCode = hexP(record.ExceptionCode);
  error->ErrorCode = 0;
  error->ErrorAddress = record.ExceptionAddress;
  static_assert(sizeof(ThreadContext) == kRegistersSize);
  std::memcpy(error->Registers.data(), capture.context, kRegistersSize);
  error->MainThreadId = 0;
  error->CurrentThreadId = capture.event->dwThreadId;
  for (int32_t i = 0; i < capture.count && i < static_cast<int32_t>(capture.stack->size()); ++i)
    error->AddCallStackItem((*capture.stack)[static_cast<size_t>(i)]);

  // A log that named the debugger as the crashed program would be useless: describe the
  // debuggee's executable and its version block. The machine part stays this machine's.
  const std::string& image = capture.imagePath.empty() ? capture.exePath : capture.imagePath;
  if (!image.empty()) {
    pack->AppInfo()->Describe(image);
    TrpVersionInfo debuggeeVersion(getExcPkgSystem().versionBlock(image));
    pack->VerInfo()->Assign(debuggeeVersion);
  }

  // The session's own folder and no message box from this thread; the program-wide
  // settings belong to the main thread and are only read here.
  ExcLogSettings settings;
  settings.errorLogDir = capture.errorDir;
  settings.encipher = excLogSettings().encipher;
  settings.showStoredMessage = false;
  std::string path = capture.exePath;
  std::string message;
  StoreExceptionLog(*pack, path, message, settings);
  return path;
}

std::string minidumpNameForLog(const std::string& logName) {
  constexpr std::string_view kLogExtension = ".err";
  std::string name = logName;
  if (name.size() >= kLogExtension.size() &&
      sameText(std::string_view(name).substr(name.size() - kLogExtension.size()), kLogExtension))
    name.erase(name.size() - kLogExtension.size());
  return name + ".dmp";
}

}  // namespace ostrel
