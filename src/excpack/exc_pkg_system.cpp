#include "excpack/exc_pkg_system.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace ostrel::excpack {

namespace fs = std::filesystem;

namespace {

LocalTime toLocalTime(std::chrono::system_clock::time_point tp) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(tp);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &secs);
#else
  localtime_r(&secs, &tm);
#endif
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(tp.time_since_epoch()).count() % 1000;
  return {tm.tm_year + 1900,           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
          int(ms < 0 ? ms + 1000 : ms)};
}

std::optional<std::string> envText(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

ExcPkgSystem* installedSystem = nullptr;
LogFileStore* installedStore = nullptr;

}  // namespace

std::string dateTimeText(const LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", t.day, t.month, t.year, t.hour,
                t.minute, t.second);
  return buf;
}

std::string PortableExcPkgSystem::exePath() {
#ifdef _WIN32
  return {};
#else
  std::error_code ec;
  auto p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
#endif
}

LocalTime PortableExcPkgSystem::now() { return toLocalTime(std::chrono::system_clock::now()); }

std::optional<uint32_t> PortableExcPkgSystem::fileSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  if (ec) return std::nullopt;
  return static_cast<uint32_t>(size);
}

std::optional<LocalTime> PortableExcPkgSystem::fileTime(const std::string& path) {
  std::error_code ec;
  auto ft = fs::last_write_time(path, ec);
  if (ec) return std::nullopt;
  auto sys = std::chrono::time_point_cast<std::chrono::system_clock::duration>(
      ft - fs::file_time_type::clock::now() + std::chrono::system_clock::now());
  return toLocalTime(sys);
}

std::optional<std::string> PortableExcPkgSystem::userName() {
  if (auto v = envText("USERNAME")) return v;
  return envText("USER");
}

std::optional<std::string> PortableExcPkgSystem::computerName() {
  if (auto v = envText("COMPUTERNAME")) return v;
  return envText("HOSTNAME");
}

std::optional<OsVersionInfo> PortableExcPkgSystem::osVersion() { return std::nullopt; }

std::vector<uint8_t> PortableExcPkgSystem::versionBlock(const std::string&) { return {}; }

void PortableExcPkgSystem::showError(const std::string& message) { std::cerr << message << '\n'; }

bool PortableLogFileStore::exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

bool PortableLogFileStore::writeNew(const std::string& path, std::string_view data) {
  if (exists(path)) return false;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) {
      out.write(data.data(), static_cast<std::streamsize>(data.size()));
      out.flush();
      if (out) return true;
    }
  }
  remove(path);
  return false;
}

bool PortableLogFileStore::renameNoReplace(const std::string& from, const std::string& to) {
#ifdef _WIN32
  // The C runtime's rename refuses an existing target on Windows.
  return std::rename(from.c_str(), to.c_str()) == 0;
#else
  // A hard link fails when the target exists; then drop the old name.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
#endif
}

void PortableLogFileStore::remove(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

std::optional<std::string> PortableLogFileStore::read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  try {
    // Some libraries throw from a failed read (a folder opened as a file, for one).
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return data;
  } catch (const std::ios_base::failure&) {
    return std::nullopt;
  }
}

std::optional<uint64_t> PortableLogFileStore::size(const std::string& path) {
  std::error_code ec;
  const auto bytes = fs::file_size(path, ec);
  if (ec) return std::nullopt;
  return static_cast<uint64_t>(bytes);
}

ExcPkgSystem& getExcPkgSystem() {
  static PortableExcPkgSystem fallback;
  return installedSystem != nullptr ? *installedSystem : fallback;
}

LogFileStore& getLogFileStore() {
  static PortableLogFileStore fallback;
  return installedStore != nullptr ? *installedStore : fallback;
}

void setExcPkgSystem(ExcPkgSystem* system) { installedSystem = system; }
void setLogFileStore(LogFileStore* store) { installedStore = store; }

ExcLogSettings& excLogSettings() {
  static ExcLogSettings settings;
  return settings;
}

}  // namespace ostrel::excpack
