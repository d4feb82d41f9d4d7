#include "platform/win32/win32_host_system.h"

#include <windows.h>

namespace ostrel {

namespace {

HostTime fromSystemTime(const SYSTEMTIME& t) {
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

// A file opened read-only with every sharing mode, so a running program's file opens too;
// closed when it goes out of scope.
class SharedFile {
 public:
  explicit SharedFile(const std::string& path)
      : handle_(CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~SharedFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  SharedFile(const SharedFile&) = delete;
  SharedFile& operator=(const SharedFile&) = delete;
  bool open() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

std::string Win32HostSystem::exePath() {
  char buffer[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return std::string(buffer, n < MAX_PATH ? n : MAX_PATH);
}

HostTime Win32HostSystem::now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return fromSystemTime(t);
}

std::optional<uint32_t> Win32HostSystem::fileSize(const std::string& path) {
  SharedFile f(path);
  if (!f.open()) return std::nullopt;
  return static_cast<uint32_t>(GetFileSize(f.get(), nullptr));
}

std::optional<HostTime> Win32HostSystem::fileTime(const std::string& path) {
  SharedFile f(path);
  if (!f.open()) return std::nullopt;
  FILETIME written, local;
  SYSTEMTIME t;
  if (!GetFileTime(f.get(), nullptr, nullptr, &written) ||
      !FileTimeToLocalFileTime(&written, &local) || !FileTimeToSystemTime(&local, &t))
    return std::nullopt;
  return fromSystemTime(t);
}

std::optional<std::string> Win32HostSystem::userName() {
  char buffer[257] = {};
  DWORD n = sizeof buffer;
  if (!GetUserNameA(buffer, &n)) return std::nullopt;
  return std::string(buffer);
}

std::optional<std::string> Win32HostSystem::computerName() {
  char buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = sizeof buffer;
  if (!GetComputerNameA(buffer, &n)) return std::nullopt;
  return std::string(buffer);
}

std::optional<HostOsVersion> Win32HostSystem::osVersion() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExA(&info)) return std::nullopt;
#pragma GCC diagnostic pop
  return HostOsVersion{info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion,
                       info.dwBuildNumber};
}

std::vector<uint8_t> Win32HostSystem::versionBlock(const std::string& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<uint8_t> block(size, 0);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return {};
  return block;
}

void Win32HostSystem::showError(const std::string& message) {
  MessageBoxA(nullptr, message.c_str(), "Error", MB_OK | MB_ICONERROR);
}

}  // namespace ostrel
