// Exception log files: naming, storing (never over an existing log, never half-written,
// never lost once written) and reading back with the window's three error texts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "excpack/exc_pkg_system.h"
#include "excpack/global_exc_pkg_types.h"

namespace ostrel::excpack {

inline constexpr const char* kStoreFailedText = "Can not storing the Exception log file!";
inline constexpr const char* kConvertFailedText = "Can not convert string to component!";
inline constexpr const char* kNotPackText = "Component is not TExceptionPack component!";
inline constexpr const char* kCastFailedText =
    "Can not casting component to TExceptionPack component!";

/// folder + file name of path without its extension + "_d-m-yyyy_hmsms" + ".err". A folder
/// ending in "\" or "/" gets no second separator; an empty folder gives the name alone.
std::string logFileName(std::string_view folder, std::string_view path, const LocalTime& time);

/// The name with "_2", "_3", ... put before ".err" (n = 1 gives the name itself).
std::string numberedLogName(std::string_view name, int n);

/// Writes the package as a log file with the given folder and switches, touching no
/// program-wide state. An empty path means the running program's own executable; an empty
/// folder means the folder of the path. On return path is the full name of the stored file
/// (a temporary name beside it when the log could be written but not put under its final
/// name), or empty when nothing was stored; message is the report of the store (or of its
/// failure), shown in an error box when settings.showStoredMessage is on.
void StoreExceptionLog(TExceptionPack& pack, std::string& path, std::string& message,
                       const ExcLogSettings& settings);
/// The same with the program-wide excLogSettings(); when their folder is empty, the folder
/// of the path (or of the running program) becomes the program-wide log folder. For the
/// main thread: other threads pass their settings to the form above.
void StoreExceptionLog(TExceptionPack& pack, std::string& path, std::string& message);

/// The text of a file read back "as lines": every line, also the last, ended by CR LF.
std::string textAsLines(std::string_view content);

struct ReadLogResult {
  std::unique_ptr<TExceptionPack> pack;  // set on success
  std::string error;                     // one of the texts above on failure
};

/// Turns a log file's content back into a package (deciphering when the switch is on).
/// Running out of memory fails with outOfMemoryText(path), path being the file the
/// content came from (empty when unknown).
ReadLogResult readExceptionLogText(std::string_view content, std::string_view path = {});
/// The error text for a log file that cannot be opened or read: Cannot open file "PATH".
std::string openFailedText(std::string_view path);

/// The largest log file read back. A real log is a few hundred KB; a file beyond this is
/// refused before it is read, rather than exhausting the memory of a 32-bit program.
inline constexpr uint64_t kMaxLogFileSize = 64u * 1024 * 1024;
/// The error text for a file larger than kMaxLogFileSize, naming it and its size.
std::string tooLargeText(std::string_view path, uint64_t size);
/// The error text for a file whose reading ran out of memory (path may be empty).
std::string outOfMemoryText(std::string_view path);

struct LogFileContent {
  std::optional<std::string> content;  // set on success
  std::string error;                   // openFailedText, tooLargeText or outOfMemoryText
};
/// Reads a log file whole, refusing one larger than kMaxLogFileSize. Never throws for a
/// file that is too large or does not fit in memory.
LogFileContent readLogFile(const std::string& path);

/// readLogFile, then readExceptionLogText.
ReadLogResult readExceptionLog(const std::string& path);

}  // namespace ostrel::excpack
