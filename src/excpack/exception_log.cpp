// A log is written to a temporary file beside its final name and then renamed without
// replacing anything, so no earlier log is lost and a log under its final name is whole.
// Once written, the new log is never thrown away: when the rename fails it is written
// again under the final name, and failing that the temporary file is kept and named.
#include "excpack/exception_log.h"

#include <cstdio>
#include <new>

#include "common/format.h"
#include "excpack/er_ce5_tools.h"

namespace ostrel::excpack {

namespace {

constexpr int kMaxNameAttempts = 10000;

// Folder part of a path including its last separator ("" when there is none).
std::string extractFilePath(std::string_view path) {
  const std::size_t cut = path.find_last_of("\\/:");
  return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut + 1));
}

// Writes data under a fresh temporary name beside name; returns that name or "".
std::string writeTemporary(LogFileStore& store, const std::string& name, std::string_view data) {
  for (int n = 1; n <= kMaxNameAttempts; ++n) {
    const std::string tmp = name + ".tmp" + (n == 1 ? std::string() : std::to_string(n));
    if (store.exists(tmp)) continue;
    if (store.writeNew(tmp, data)) return tmp;
    if (!store.exists(tmp)) return {};  // not a name clash: the folder cannot be written
  }
  return {};
}

// Creates data under the first free numbered name; returns it or "".
std::string writeUnderFreeName(LogFileStore& store, const std::string& name,
                               std::string_view data) {
  for (int n = 1; n <= kMaxNameAttempts; ++n) {
    const std::string candidate = numberedLogName(name, n);
    if (store.exists(candidate)) continue;
    if (store.writeNew(candidate, data)) return candidate;
    if (!store.exists(candidate)) break;  // not a name clash
  }
  return {};
}

// Moves the temporary file (holding data) to the first free numbered name and returns the
// name under which the log now is; "" only when the temporary file is gone as well.
std::string placeUnderFreeName(LogFileStore& store, const std::string& tmp, const std::string& name,
                               std::string_view data) {
  for (int n = 1; n <= kMaxNameAttempts; ++n) {
    const std::string candidate = numberedLogName(name, n);
    if (store.exists(candidate)) continue;
    if (store.renameNoReplace(tmp, candidate)) return candidate;
    if (!store.exists(candidate)) break;  // the rename failed for another reason
  }
  // The temporary file is the only copy of the log: remove it only once another is whole.
  const std::string written = writeUnderFreeName(store, name, data);
  if (!written.empty()) {
    store.remove(tmp);
    return written;
  }
  return store.exists(tmp) ? tmp : std::string();
}

}  // namespace

std::string logFileName(std::string_view folder, std::string_view path, const LocalTime& t) {
  std::string name(folder);
  if (!name.empty() && name.back() != '\\' && name.back() != '/') name += '\\';
  std::string file = extractFileName(path);
  const std::size_t dot = file.rfind('.');
  if (dot != std::string::npos) file.erase(dot);
  char suffix[96];
  std::snprintf(suffix, sizeof suffix, "_%d-%d-%d_%d%d%d%d", t.day, t.month, t.year, t.hour,
                t.minute, t.second, t.millisecond);
  return name + file + suffix + ".err";
}

std::string numberedLogName(std::string_view name, int n) {
  if (n <= 1) return std::string(name);
  std::string base(name);
  std::string ext;
  if (base.size() >= 4 && base.compare(base.size() - 4, 4, ".err") == 0) {
    ext = ".err";
    base.erase(base.size() - 4);
  }
  return base + "_" + std::to_string(n) + ext;
}

void StoreExceptionLog(TExceptionPack& pack, std::string& path, std::string& message) {
  ExcLogSettings& settings = excLogSettings();
  if (settings.errorLogDir.empty()) {
    // The derived folder stays for later logs of other programs.
    if (path.empty()) path = getExcPkgSystem().exePath();
    settings.errorLogDir = extractFilePath(path);
  }
  StoreExceptionLog(pack, path, message, settings);
}

void StoreExceptionLog(TExceptionPack& pack, std::string& path, std::string& message,
                       const ExcLogSettings& settings) {
  ExcPkgSystem& system = getExcPkgSystem();
  message.clear();
  if (path.empty()) path = system.exePath();
  const std::string folder =
      settings.errorLogDir.empty() ? extractFilePath(path) : settings.errorLogDir;
  const std::string name = logFileName(folder, path, system.now());
  path = name;

  std::string stored;
  try {
    std::string text = ComponentToString(pack);
    if (settings.encipher) text = EncryptText(text);
    text = textAsLines(text);
    LogFileStore& store = getLogFileStore();
    const std::string tmp = writeTemporary(store, name, text);
    if (!tmp.empty()) stored = placeUnderFreeName(store, tmp, name, text);
    if (!stored.empty()) {
      TErrorInfo* error = pack.ErrorInfo();
      TAppInfo* app = pack.AppInfo();
      TVerInfo* ver = pack.VerInfo();
      char head[64];
      std::snprintf(head, sizeof head, " Error Code: %d in \r", error ? int(error->ErrorCode) : 0);
      message = (error ? error->ErrorMessage : std::string()) +
                " at Address: " + hexP(error ? error->ErrorAddress : 0) + head + "application " +
                (app ? app->ApplicationName() : std::string()) + " (v" +
                (ver ? ver->ProductVersion() : std::string()) + ")" + "\r" + "\r\rStored to " +
                stored + " error log file";
    }
  } catch (...) {
    stored.clear();
  }
  if (stored.empty()) {
    message += "\r";
    message += kStoreFailedText;
    path.clear();
  } else {
    path = stored;
  }
  if (settings.showStoredMessage && !message.empty()) system.showError(message);
}

std::string textAsLines(std::string_view content) {
  std::string out;
  out.reserve(content.size() + 2);
  std::size_t i = 0;
  while (i < content.size()) {
    const std::size_t end = content.find_first_of("\r\n", i);
    if (end == std::string_view::npos) {
      out.append(content.substr(i));
      out += "\r\n";
      break;
    }
    out.append(content.substr(i, end - i));
    out += "\r\n";
    i = end + 1;
    if (content[end] == '\r' && i < content.size() && content[i] == '\n') ++i;
  }
  return out;
}

ReadLogResult readExceptionLogText(std::string_view content, std::string_view path) {
  ReadLogResult result;
  std::unique_ptr<TComponent> component;
  try {
    std::string text = textAsLines(content);
    if (excLogSettings().encipher) text = textAsLines(DecryptText(text));
    component = StringToComponent(text);
  } catch (const std::bad_alloc&) {
    // Not a malformed log: saying so would send the user looking in the wrong place.
    result.error = outOfMemoryText(path);
    return result;
  } catch (...) {
    result.error = kConvertFailedText;
    return result;
  }
  if (dynamic_cast<TExceptionPack*>(component.get()) == nullptr) {
    result.error = kNotPackText;
    return result;
  }
  result.pack.reset(static_cast<TExceptionPack*>(component.release()));
  return result;
}

std::string openFailedText(std::string_view path) {
  return "Cannot open file \"" + std::string(path) + "\".";
}

std::string tooLargeText(std::string_view path, uint64_t size) {
  return "The exception log file \"" + std::string(path) + "\" is too large (" +
         std::to_string(size) + " bytes; at most " + std::to_string(kMaxLogFileSize) +
         " bytes are read).";
}

std::string outOfMemoryText(std::string_view path) {
  if (path.empty()) return "Out of memory while reading the exception log.";
  return "Out of memory while reading the exception log file \"" + std::string(path) + "\".";
}

LogFileContent readLogFile(const std::string& path) {
  LogFileStore& store = getLogFileStore();
  LogFileContent result;
  try {
    if (const std::optional<uint64_t> size = store.size(path); size && *size > kMaxLogFileSize) {
      result.error = tooLargeText(path, *size);
      return result;
    }
    result.content = store.read(path);
    if (!result.content) result.error = openFailedText(path);
  } catch (const std::bad_alloc&) {
    result.content.reset();
    result.error = outOfMemoryText(path);
  }
  return result;
}

ReadLogResult readExceptionLog(const std::string& path) {
  LogFileContent file = readLogFile(path);
  if (!file.content) return {nullptr, std::move(file.error)};
  return readExceptionLogText(*file.content, path);
}

}  // namespace ostrel::excpack
