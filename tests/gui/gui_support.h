// Helpers of the GUI tests: a dialogs seam that records instead of showing, message
// pumping until a condition holds, and reading controls.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "process_counts.h"
#include "ui/modal_dialog.h"
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
  /// Runs after a box is recorded, where a real box would run its message loop.
  std::function<void(const std::string& text)> onBox;

  void messageBox(HWND owner, const std::string& text, ui::BoxKind kind) override;
  std::optional<std::string> openFile(HWND owner, const std::string& filter) override;
  std::optional<std::string> saveFile(HWND owner, const std::string& title,
                                      const std::string& filter,
                                      const std::string& defaultExtension,
                                      const std::string& proposedName,
                                      bool confirmOverwrite = false) override;
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
using wine_test::handleCount;
using wine_test::threadCount;

// Drives the next dialog shown, step by step inside its modal loop. A step starts only
// once the dialog has handled what the previous one posted (a thread timer is delivered
// only when nothing else is queued). After the last step the dialog must have closed; one
// still open is a failure and is ended, so that a fault never blocks the run.
class DialogScript {
 public:
  using Step = std::function<void(HWND)>;

  explicit DialogScript(std::vector<Step> steps) : steps_(steps.begin(), steps.end()) {
    current_ = this;
    ui::ModalDialog::setShownHook([this](HWND dialog) {
      dialog_ = dialog;
      runNext();
    });
  }
  ~DialogScript() {
    ui::ModalDialog::setShownHook({});
    if (timer_ != 0) KillTimer(nullptr, timer_);
    current_ = nullptr;
  }
  DialogScript(const DialogScript&) = delete;
  DialogScript& operator=(const DialogScript&) = delete;

  /// The dialog was shown and every step ran.
  bool done() const { return dialog_ != nullptr && steps_.empty(); }

 private:
  static void CALLBACK onTimer(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    if (current_ != nullptr && current_->timer_ == timer) {
      current_->timer_ = 0;
      current_->runNext();
    }
  }

  void runNext() {
    if (steps_.empty()) {
      if (IsWindowVisible(dialog_)) {
        ADD_FAILURE() << "the dialog is still open after the last step";
        EndDialog(dialog_, IDABORT);
      }
      return;
    }
    const Step step = steps_.front();
    steps_.pop_front();
    step(dialog_);
    timer_ = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, &DialogScript::onTimer);
  }

  static inline DialogScript* current_ = nullptr;
  std::deque<Step> steps_;
  HWND dialog_ = nullptr;
  UINT_PTR timer_ = 0;
};

/// A click on a dialog's button, and text typed into its edit.
inline void click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
inline void type(HWND dialog, int id, const std::string& value) {
  SetWindowTextA(GetDlgItem(dialog, id), value.c_str());
}

}  // namespace ostrel::gtest_gui
