// Helpers of the GUI tests: a dialogs seam that records instead of showing, message
// pumping until a condition holds, and reading controls.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/ui_dialogs.h"

namespace ostrel::gtest_gui {

/// Records every box and answers the file dialogs from queues (cancel when empty).
class ScriptedDialogs : public ui::UiDialogs {
 public:
  struct Box {
    std::string text;
    ui::BoxKind kind;
  };
  std::vector<Box> boxes;
  std::deque<std::optional<std::string>> openAnswers, saveAnswers, folderAnswers;
  std::vector<std::string> saveRequests;  // "title|filter|extension|proposed"

  void messageBox(HWND owner, const std::string& text, ui::BoxKind kind) override;
  std::optional<std::string> openFile(HWND owner, const std::string& filter) override;
  std::optional<std::string> saveFile(HWND owner, const std::string& title,
                                      const std::string& filter,
                                      const std::string& defaultExtension,
                                      const std::string& proposedName) override;
  std::optional<std::string> browseFolder(HWND owner, const std::string& title) override;
};

/// Dispatches this thread's messages until pred holds; false after timeoutMs.
bool pumpUntil(const std::function<bool()>& pred, int timeoutMs = 20000);
/// Dispatches whatever is queued now.
void pumpPending();

/// The first descendant window of parent whose text is text (and class, when given).
HWND findChild(HWND parent, const std::string& text, const char* windowClass = nullptr);
std::string text(HWND window);

/// The sample debuggee as Windows names it, and a fresh folder for its logs.
std::string samplePath();
std::string freshFolder(const std::string& name);
/// Whether the process still runs.
bool processAlive(uint32_t processId);
/// Threads and handles of this process, for leak checks.
int threadCount();
DWORD handleCount();

}  // namespace ostrel::gtest_gui
