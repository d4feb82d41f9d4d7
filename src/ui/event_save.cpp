#include "ui/event_save.h"

#include <windows.h>

#include <stdexcept>

#include "engine/event_records.h"
#include "report/event_export.h"

namespace ostrel::ui {

namespace {

std::string localDateTimeText() {
  char date[128] = {};
  char time[128] = {};
  GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, sizeof date);
  GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, time, sizeof time);
  return std::string(date) + " " + time;
}

std::string systemErrorText(DWORD error) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = length != 0 && buffer != nullptr ? std::string(buffer, length) : "";
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text.empty() ? "Error " + std::to_string(error) + "." : text;
}

[[noreturn]] void fail(const char* what, const std::string& fileName, DWORD error) {
  throw std::runtime_error(std::string(what) + " \"" + fileName + "\". " + systemErrorText(error));
}

}  // namespace

void TDebugEventSave::saveToText(const std::string& baseName,
                                 const std::vector<report::EventRow>& rows,
                                 const TDbgEventList& store, const std::string& fileName) {
  std::string text;
  for (const std::string& line :
       report::eventExportLines(baseName, localDateTimeText(), rows, store)) {
    text += line;
    text += "\r\n";
  }

  // Nothing between opening and closing can throw, so the handle needs no guard.
  HANDLE file = CreateFileA(fileName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) fail("Cannot create file", fileName, GetLastError());
  DWORD written = 0;
  DWORD error = ERROR_SUCCESS;
  if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
    error = GetLastError();
  else if (written != text.size())
    error = ERROR_HANDLE_DISK_FULL;
  if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
  if (error != ERROR_SUCCESS) {
    // A cut-off export would pass for a whole one.
    DeleteFileA(fileName.c_str());
    fail("Cannot write file", fileName, error);
  }
}

}  // namespace ostrel::ui
