#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "excpack/er_ce5_tools.h"
#include "excpack/exception_log.h"
#include "fake_exc_system.h"

namespace ostrel::excpack {
namespace {

class ExceptionLogTest : public fakes::ExcPkgTest {
 protected:
  std::unique_ptr<TExceptionPack> pack() {
    auto p = TExceptionPack::Create();
    p->ErrorInfo()->ErrorMessage = "Fatal exception occurred!";
    p->ErrorInfo()->ErrorAddress = 0x0040A1B2;
    p->ErrorInfo()->AddCallStackItem(0x00401234);
    p->VerInfo()->Set(TVerInfo::fProductVersion, "1.0");
    return p;
  }
};

TEST(LogFileName, FollowsTheNameRule) {
  const LocalTime t{2026, 12, 6, 18, 5, 27, 123};
  EXPECT_EQ(logFileName("C:\\Logs", "C:\\Apps\\sample.exe", t),
            "C:\\Logs\\sample_6-12-2026_18527123.err");
  EXPECT_EQ(logFileName("C:\\Logs\\", "C:\\Apps\\sample.exe", t),
            "C:\\Logs\\sample_6-12-2026_18527123.err");
  EXPECT_EQ(logFileName("C:\\Logs", "C:\\Apps\\noext", t),
            "C:\\Logs\\noext_6-12-2026_18527123.err");
  EXPECT_EQ(logFileName("C:\\Logs", "C:\\Apps\\my.app.exe", t),
            "C:\\Logs\\my.app_6-12-2026_18527123.err");
  EXPECT_EQ(logFileName("", "sample.exe", t), "sample_6-12-2026_18527123.err");
  EXPECT_EQ(logFileName("/tmp/logs/", "/x/sample", t), "/tmp/logs/sample_6-12-2026_18527123.err");
  // No padding: two different times can give one name, which the store resolves.
  EXPECT_EQ(logFileName("d", "a.exe", {2026, 1, 1, 1, 23, 45, 6}),
            logFileName("d", "a.exe", {2026, 1, 1, 12, 34, 5, 6}));
  EXPECT_EQ(numberedLogName("d\\a_1.err", 1), "d\\a_1.err");
  EXPECT_EQ(numberedLogName("d\\a_1.err", 3), "d\\a_1_3.err");
}

TEST_F(ExceptionLogTest, StoresOneEncipheredLineAndReportsIt) {
  auto p = pack();
  std::string path = "C:\\Apps\\sample.exe";
  std::string message;
  excLogSettings().errorLogDir = "C:\\Logs";
  StoreExceptionLog(*p, path, message);
  EXPECT_EQ(path, "C:\\Logs\\sample_6-12-2026_18527123.err");
  ASSERT_EQ(store.files.size(), 1u);
  const std::string& content = store.files.at(path);
  ASSERT_GE(content.size(), 2u);
  EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
  const std::string digits = content.substr(0, content.size() - 2);
  EXPECT_EQ(digits.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUV"), std::string::npos);
  EXPECT_EQ(digits.size() % 16, 0u);
  EXPECT_EQ(DecryptText(content) + "\r\n", ComponentToString(*p));
  EXPECT_EQ(message,
            "Fatal exception occurred! at Address: $0040A1B2 Error Code: 0 in \rapplication "
            "C:\\Apps\\sample.exe (v1.0)\r\r\rStored to C:\\Logs\\sample_6-12-2026_18527123.err "
            "error log file");
  EXPECT_TRUE(system.errors.empty());  // the stored message is not shown by default
}

TEST_F(ExceptionLogTest, FolderAndPathDefaults) {
  auto p = pack();
  std::string path;
  std::string message;
  StoreExceptionLog(*p, path, message);
  EXPECT_EQ(path, "C:\\Apps\\sample_6-12-2026_18527123.err");
  EXPECT_EQ(excLogSettings().errorLogDir, "C:\\Apps\\");
  // The derived folder stays for later logs of other programs.
  system.clock.millisecond = 124;
  path = "D:\\other\\prog.exe";
  StoreExceptionLog(*p, path, message);
  EXPECT_EQ(path, "C:\\Apps\\prog_6-12-2026_18527124.err");
}

TEST_F(ExceptionLogTest, NeverOverwritesAnExistingLog) {
  auto p = pack();
  excLogSettings().errorLogDir = "L";
  store.files["L\\sample_6-12-2026_18527123.err"] = "older log";
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) {
    std::string path = "sample.exe", message;
    StoreExceptionLog(*p, path, message);
    paths.push_back(path);
  }
  EXPECT_EQ(paths[0], "L\\sample_6-12-2026_18527123_2.err");
  EXPECT_EQ(paths[1], "L\\sample_6-12-2026_18527123_3.err");
  EXPECT_EQ(paths[2], "L\\sample_6-12-2026_18527123_4.err");
  EXPECT_EQ(store.files.at("L\\sample_6-12-2026_18527123.err"), "older log");
  EXPECT_EQ(store.files.size(), 4u);  // no temporary file left behind
  // A leftover temporary file of an earlier run is not reused either.
  store.files["L\\sample_6-12-2026_18527123.err.tmp"] = "stale";
  std::string path = "sample.exe", message;
  StoreExceptionLog(*p, path, message);
  EXPECT_EQ(path, "L\\sample_6-12-2026_18527123_5.err");
  EXPECT_EQ(store.files.at("L\\sample_6-12-2026_18527123.err.tmp"), "stale");
}

TEST_F(ExceptionLogTest, FailedWriteClearsThePathAndSaysSo) {
  auto p = pack();
  excLogSettings().showStoredMessage = true;
  store.failWrites = true;
  std::string path = "sample.exe", message;
  StoreExceptionLog(*p, path, message);
  EXPECT_EQ(path, "");
  EXPECT_EQ(message, "\rCan not storing the Exception log file!");
  EXPECT_TRUE(store.files.empty());
  ASSERT_EQ(system.errors.size(), 1u);
  EXPECT_EQ(system.errors[0], message);
}

// Once written, a log is never thrown away: a failed rename falls back to writing the log
// under its final name, and failing that the temporary file is kept and named.
TEST_F(ExceptionLogTest, FailedRenameNeverLosesTheLog) {
  store.failRenames = true;
  auto p = pack();
  excLogSettings().errorLogDir = "L";
  store.files["L\\sample_6-12-2026_18527123.err"] = "older log";
  for (const char* expected :
       {"L\\sample_6-12-2026_18527123_2.err", "L\\sample_6-12-2026_18527123.err.tmp"}) {
    std::string path = "sample.exe", message;
    StoreExceptionLog(*p, path, message);
    EXPECT_EQ(path, expected);
    EXPECT_NE(message.find("Stored to " + path + " error log file"), std::string::npos);
    const ReadLogResult back = readExceptionLog(path);
    ASSERT_NE(back.pack, nullptr) << back.error;
    EXPECT_EQ(ComponentToString(*back.pack), ComponentToString(*p));
    EXPECT_EQ(store.files.size(), 2u);  // the older log, the new one, no second copy
    store.files.erase(path);
    store.onlyTemporaryWrites = true;
  }
  EXPECT_EQ(store.files.at("L\\sample_6-12-2026_18527123.err"), "older log");
}

// Settings given by the caller (a session worker) are used as they are, and nothing
// program-wide is written, not even a derived folder.
TEST_F(ExceptionLogTest, ExplicitSettingsLeaveTheProgramWideOnesAlone) {
  auto p = pack();
  std::string path = "C:\\Apps\\sample.exe", message;
  StoreExceptionLog(*p, path, message, ExcLogSettings{"", false, true});
  EXPECT_EQ(path, "C:\\Apps\\sample_6-12-2026_18527123.err");
  EXPECT_EQ(store.files.at(path), ComponentToString(*p));  // not enciphered
  EXPECT_EQ(system.errors, std::vector<std::string>{message});
  path.clear();  // the running program's own path
  StoreExceptionLog(*p, path, message, ExcLogSettings{"D:\\Logs\\", true, false});
  EXPECT_EQ(path, "D:\\Logs\\sample_6-12-2026_18527123.err");
  EXPECT_EQ(DecryptText(store.files.at(path)) + "\r\n", ComponentToString(*p));
  EXPECT_EQ(system.errors.size(), 1u);
  const ExcLogSettings untouched;
  EXPECT_EQ(excLogSettings().errorLogDir, untouched.errorLogDir);
}

TEST_F(ExceptionLogTest, ReadsBackWhatWasStored) {
  auto p = pack();
  p->ErrorInfo()->ErrorCode = -7;
  std::string path = "sample.exe", message;
  StoreExceptionLog(*p, path, message);
  ReadLogResult r = readExceptionLog(path);
  ASSERT_NE(r.pack, nullptr) << r.error;
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.pack->ErrorInfo()->ErrorCode, -7);
  EXPECT_EQ(r.pack->ErrorInfo()->CallStackCount(), 1);
  EXPECT_EQ(r.pack->ErrorInfo()->TimeStamp(), p->ErrorInfo()->TimeStamp());

  // Lower-case digits and a file without its final line end read the same.
  std::string content = store.files.at(path);
  content.resize(content.size() - 2);
  for (char& c : content) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  r = readExceptionLogText(content);
  ASSERT_NE(r.pack, nullptr);
  EXPECT_EQ(r.pack->ErrorInfo()->ErrorCode, -7);
}

TEST_F(ExceptionLogTest, PlainFilesWhenEncipheringIsOff) {
  excLogSettings().encipher = false;
  auto p = pack();
  std::string path = "sample.exe", message;
  StoreExceptionLog(*p, path, message);
  EXPECT_EQ(store.files.at(path), ComponentToString(*p));
  ReadLogResult r = readExceptionLog(path);
  ASSERT_NE(r.pack, nullptr);
  EXPECT_EQ(r.pack->ErrorInfo()->ErrorAddress, 0x0040A1B2u);
}

TEST_F(ExceptionLogTest, BadFilesGiveTheirErrorTexts) {
  EXPECT_EQ(readExceptionLog("C:\\Logs\\missing.err").error,
            "Cannot open file \"C:\\Logs\\missing.err\".");
  EXPECT_EQ(readExceptionLogText("").error, kConvertFailedText);
  EXPECT_EQ(readExceptionLogText("not digits at all!").error, kConvertFailedText);
  const std::string good = EncryptText(ComponentToString(*pack()));
  EXPECT_EQ(readExceptionLogText(good.substr(0, good.size() / 2)).error, kConvertFailedText);
  EXPECT_EQ(readExceptionLogText(EncryptText("object TAppInfo\r\nend\r\n")).error, kNotPackText);
  EXPECT_EQ(readExceptionLogText(EncryptText("object TForm\r\nend\r\n")).error, kConvertFailedText);
  std::string flipped = good;
  flipped[10] = flipped[10] == '0' ? '1' : '0';
  const ReadLogResult r = readExceptionLogText(flipped);
  EXPECT_TRUE(r.pack == nullptr ? r.error == kConvertFailedText : r.error.empty());

  // A folder is no log file: opening or reading it fails, and the text says which.
  setLogFileStore(nullptr);
  const std::string folder = std::filesystem::temp_directory_path().string();
  EXPECT_EQ(readExceptionLog(folder).error, openFailedText(folder));
}

TEST_F(ExceptionLogTest, RandomContentNeverCrashes) {
  std::mt19937 rng(1234);
  const std::string good = EncryptText(ComponentToString(*pack()));
  for (int i = 0; i < 300; ++i) {
    std::string s = good;
    const int edits = 1 + int(rng() % 8);
    for (int e = 0; e < edits; ++e) s[rng() % s.size()] = static_cast<char>(rng() % 256);
    const ReadLogResult r = readExceptionLogText(s);
    EXPECT_TRUE((r.pack != nullptr) != !r.error.empty());
  }
}

TEST_F(ExceptionLogTest, RealFolderKeepsBothLogsOfOneMoment) {
  setLogFileStore(nullptr);  // the portable file store
  const auto dir = std::filesystem::temp_directory_path() /
                   ("ostrel_excpack_" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  excLogSettings().errorLogDir = dir.string() + "/";
  auto p = pack();
  std::string first = "sample.exe", second = "sample.exe", message;
  StoreExceptionLog(*p, first, message);
  StoreExceptionLog(*p, second, message);
  EXPECT_NE(first, "");
  EXPECT_NE(second, "");
  EXPECT_NE(first, second);
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    EXPECT_EQ(entry.path().extension(), ".err");
    ++count;
  }
  EXPECT_EQ(count, 2);
  ReadLogResult r = readExceptionLog(second);
  EXPECT_NE(r.pack, nullptr);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace ostrel::excpack
