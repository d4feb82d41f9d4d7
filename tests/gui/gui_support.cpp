#include "gui_support.h"

#include <algorithm>
#include <filesystem>

namespace ostrel::gtest_gui {

namespace {

std::optional<std::string> next(std::deque<std::optional<std::string>>& answers) {
  if (answers.empty()) return std::nullopt;
  auto answer = answers.front();
  answers.pop_front();
  return answer;
}

struct FindData {
  std::string text;
  const char* windowClass;
  HWND found;
};

BOOL CALLBACK findChildProc(HWND window, LPARAM lParam) {
  auto* data = reinterpret_cast<FindData*>(lParam);
  if (text(window) != data->text) return TRUE;
  if (data->windowClass != nullptr) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    if (lstrcmpiA(name, data->windowClass) != 0) return TRUE;
  }
  data->found = window;
  return FALSE;
}

}  // namespace

void ScriptedDialogs::messageBox(HWND, const std::string& text, ui::BoxKind kind) {
  boxes.push_back({text, kind});
  if (onBox) onBox(text);
}

std::optional<std::string> ScriptedDialogs::openFile(HWND, const std::string&) {
  return next(openAnswers);
}

std::optional<std::string> ScriptedDialogs::saveFile(HWND, const std::string& title,
                                                     const std::string& filter,
                                                     const std::string& extension,
                                                     const std::string& proposed,
                                                     bool confirmOverwrite) {
  saveRequests.push_back(title + "|" + filter + "|" + extension + "|" + proposed +
                         (confirmOverwrite ? "|confirm" : ""));
  return next(saveAnswers);
}

std::optional<std::string> ScriptedDialogs::browseFolder(HWND, const std::string&) {
  return next(folderAnswers);
}

void pumpPending() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

bool pumpUntil(const std::function<bool()>& pred, int timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    pumpPending();
    if (pred()) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= static_cast<DWORD>(timeoutMs)) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(20, timeoutMs - elapsed),
                              QS_ALLINPUT);
  }
}

HWND findChild(HWND parent, const std::string& wanted, const char* windowClass) {
  FindData data{wanted, windowClass, nullptr};
  EnumChildWindows(parent, findChildProc, reinterpret_cast<LPARAM>(&data));
  return data.found;
}

std::string text(HWND window) {
  char buffer[4096] = {};
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

std::string samplePath() {
  std::string path = OSTREL_DBG_SAMPLE;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string freshFolder(const std::string& name) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::filesystem::path folder = std::filesystem::path(temp) / ("ostrel-gui-" + name);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  std::filesystem::create_directories(folder, ec);
  return folder.string();
}

bool processAlive(uint32_t processId) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (process == nullptr) return false;
  const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return alive;
}

}  // namespace ostrel::gtest_gui
