// The process list of Attach: TProcessList takes a ToolHelp32 snapshot of the machine's
// processes and fills a report list view with it; TprocessListForm is the modal window
// around that list, from which the user picks the process to attach to.
#pragma once

#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/modal_dialog.h"

namespace ostrel::ui {

/// One process of a snapshot.
class TProcessInfo {
 public:
  explicit TProcessInfo(const PROCESSENTRY32& entry);

  /// The executable name of the entry; "< Unknown >" when it is blank.
  std::string Name;
  /// The snapshot's record, copied whole.
  PROCESSENTRY32 Entry;
};

/// The text of the "Priority" column for a base priority.
std::string priorityClassName(LONG basePriority);

class TprocessListForm;

class TProcessList {
 public:
  /// The view that fillView and refresh fill; not owned.
  HWND ListView = nullptr;
  /// Processes holds a snapshot.
  bool SnapshotTaken = false;
  /// In snapshot order.
  std::vector<TProcessInfo> Processes;

  /// Replaces Processes by a new snapshot of all processes. False when the snapshot could
  /// not be taken (Processes then keeps what was read before the failure).
  bool takeSnapshot();
  void clear();
  /// Takes a snapshot unless one is held, then rebuilds the view's columns and rows.
  void fillView();
  /// A new snapshot replaces the rows.
  void refresh();

  /// Shows form modally over owner with its list filled (before it becomes visible) and
  /// Refresh bound to a new snapshot; returns the form's SelectedPid: the picked process
  /// id, 0 when OK was pressed before any pick, -1 when the window was closed without OK.
  static int32_t selectProcess(TprocessListForm& form, HWND owner);
};

class TprocessListForm : public ModalDialog {
 public:
  // Control ids; "&Ok." is IDOK, so Enter reaches it; Escape and the close box give IDCANCEL.
  static constexpr int kProcessListView = 101;
  static constexpr int kPidLabel = 102;
  static constexpr int kRefreshButton = 103;

  /// The result: the picked process id, 0 when nothing was picked, -1 when the window was
  /// closed without OK.
  int32_t SelectedPid = 0;
  /// The OK button closed the window.
  bool OkPressed = false;
  /// What "&Refresh" runs.
  std::function<void()> OnRefresh;
  /// Runs once the controls exist, before the window becomes visible: the list is filled
  /// there.
  std::function<void()> OnCreated;

  /// The list view (null while the window does not exist).
  HWND listView() const { return processListView; }

 protected:
  Frame frame() const override;
  void onCreate() override;
  bool onCommand(int id, int code, HWND control) override;
  bool onNotify(NMHDR* header, LRESULT& result) override;
  void onSize(int width, int height) override;
  bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

 private:
  void FormCreate();
  void processListViewClick();
  void okButtonClick();
  void refreshButtonClick();
  void FormClose();

  HWND GroupBox1 = nullptr;
  HWND processListView = nullptr;
  HWND pidLabel = nullptr;
  HWND okButton = nullptr;
  HWND refreshButton = nullptr;
  // The client size the layout was made for, in screen pixels: anchored controls keep
  // their distances to the right and bottom edges of that size.
  SIZE designClient_{};
};

/// The Attach step's pick: creates the process list window, shows it over owner with the
/// running processes, destroys it and returns the picked process id (-1 when closed
/// without OK, 0 when OK came before any pick).
int32_t selectProcess(HWND owner);

}  // namespace ostrel::ui
