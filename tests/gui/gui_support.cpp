#include "gui_support.h"

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
}

std::optional<std::string> ScriptedDialogs::openFile(HWND, const std::string&) {
  return next(openAnswers);
}

std::optional<std::string> ScriptedDialogs::saveFile(HWND, const std::string& title,
                                                     const std::string& filter,
                                                     const std::string& extension,
                                                     const std::string& proposed) {
  saveRequests.push_back(title + "|" + filter + "|" + extension + "|" + proposed);
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

}  // namespace ostrel::gtest_gui
