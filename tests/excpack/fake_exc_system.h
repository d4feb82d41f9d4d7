// Deterministic stand-ins for the package's operating-system seams, installed per test.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "excpack/exc_pkg_system.h"
#include "excpack/global_exc_pkg_types.h"

namespace ostrel::excpack::fakes {

class FakeExcPkgSystem : public ExcPkgSystem {
 public:
  std::string exe = "C:\\Apps\\sample.exe";
  LocalTime clock{2026, 12, 6, 18, 5, 27, 123};
  std::optional<uint32_t> size = 123456;
  std::optional<LocalTime> modified = LocalTime{2026, 11, 30, 9, 8, 7, 0};
  std::optional<std::string> user = std::string("tester");
  std::optional<std::string> computer = std::string("BENCH01");
  std::optional<OsVersionInfo> os = OsVersionInfo{2, 6, 1, 7601};
  std::vector<uint8_t> block;
  std::vector<std::string> errors;
  int userQueries = 0;

  std::string exePath() override { return exe; }
  LocalTime now() override { return clock; }
  std::optional<uint32_t> fileSize(const std::string&) override { return size; }
  std::optional<LocalTime> fileTime(const std::string&) override { return modified; }
  std::optional<std::string> userName() override {
    ++userQueries;
    return user;
  }
  std::optional<std::string> computerName() override { return computer; }
  std::optional<OsVersionInfo> osVersion() override { return os; }
  std::vector<uint8_t> versionBlock(const std::string&) override { return block; }
  void showError(const std::string& message) override { errors.push_back(message); }
};

class FakeLogFileStore : public LogFileStore {
 public:
  std::map<std::string, std::string> files;
  bool failWrites = false;
  bool failRenames = false;
  bool onlyTemporaryWrites = false;  // creates nothing but "*.tmp*" files

  bool exists(const std::string& path) override { return files.count(path) != 0; }
  bool writeNew(const std::string& path, std::string_view data) override {
    if (failWrites || exists(path)) return false;
    if (onlyTemporaryWrites && path.find(".tmp") == std::string::npos) return false;
    files[path] = std::string(data);
    return true;
  }
  bool renameNoReplace(const std::string& from, const std::string& to) override {
    if (failRenames || exists(to) || !exists(from)) return false;
    files[to] = files[from];
    files.erase(from);
    return true;
  }
  void remove(const std::string& path) override { files.erase(path); }
  std::optional<std::string> read(const std::string& path) override {
    auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second;
  }
};

/// Installs both fakes, fresh settings and the registered classes for one test.
class ExcPkgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setExcPkgSystem(&system);
    setLogFileStore(&store);
    excLogSettings() = ExcLogSettings{};
    ExcPkgShutdown();
    ExcPkgStartup();
  }
  void TearDown() override {
    ExcPkgShutdown();
    setExcPkgSystem(nullptr);
    setLogFileStore(nullptr);
    excLogSettings() = ExcLogSettings{};
  }

  FakeExcPkgSystem system;
  FakeLogFileStore store;
};

}  // namespace ostrel::excpack::fakes
