#include "platform/win32/exc_pkg_system_win32.h"

#include <windows.h>

namespace ostrel {

namespace {

excpack::LocalTime fromSystemTime(const SYSTEMTIME& t) {
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

// Opened read-only with every sharing mode, so a running program's file opens too.
HANDLE openShared(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string Win32ExcPkgSystem::exePath() {
  char buffer[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return std::string(buffer, n < MAX_PATH ? n : MAX_PATH);
}

excpack::LocalTime Win32ExcPkgSystem::now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return fromSystemTime(t);
}

std::optional<uint32_t> Win32ExcPkgSystem::fileSize(const std::string& path) {
  HANDLE f = openShared(path);
  if (f == INVALID_HANDLE_VALUE) return std::nullopt;
  DWORD size = GetFileSize(f, nullptr);
  CloseHandle(f);
  return static_cast<uint32_t>(size);
}

std::optional<excpack::LocalTime> Win32ExcPkgSystem::fileTime(const std::string& path) {
  HANDLE f = openShared(path);
  if (f == INVALID_HANDLE_VALUE) return std::nullopt;
  FILETIME written, local;
  SYSTEMTIME t;
  bool ok = GetFileTime(f, nullptr, nullptr, &written) &&
            FileTimeToLocalFileTime(&written, &local) && FileTimeToSystemTime(&local, &t);
  CloseHandle(f);
  if (!ok) return std::nullopt;
  return fromSystemTime(t);
}

std::optional<std::string> Win32ExcPkgSystem::userName() {
  char buffer[257] = {};
  DWORD n = sizeof buffer;
  if (!GetUserNameA(buffer, &n)) return std::nullopt;
  return std::string(buffer);
}

std::optional<std::string> Win32ExcPkgSystem::computerName() {
  char buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = sizeof buffer;
  if (!GetComputerNameA(buffer, &n)) return std::nullopt;
  return std::string(buffer);
}

std::optional<excpack::OsVersionInfo> Win32ExcPkgSystem::osVersion() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExA(&info)) return std::nullopt;
#pragma GCC diagnostic pop
  return excpack::OsVersionInfo{info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion,
                                info.dwBuildNumber};
}

std::vector<uint8_t> Win32ExcPkgSystem::versionBlock(const std::string& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<uint8_t> block(size, 0);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return {};
  return block;
}

void Win32ExcPkgSystem::showError(const std::string& message) {
  MessageBoxA(nullptr, message.c_str(), "Error", MB_OK | MB_ICONERROR);
}

}  // namespace ostrel
