// The preferences of a debug session and TpreferenceForm, the dialog that edits them.
// Nothing is stored: every start of the program begins with the defaults.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/debug_platform.h"
#include "ui/modal_dialog.h"

namespace ostrel::ui {

struct TPrefSettings {
  /// Call stack depth in entries, 0 to 255.
  int32_t StackDepth = 32;
  /// Capture and show a call stack at a first-chance breakpoint.
  bool DispCallStackOnBreak = false;
  /// Try to load the debugged program's map file (and the map files of its DLLs).
  bool LoadMap = true;
  /// List the call stack entries found only by scanning the stack, not verified as frames.
  bool ShowScanEntries = true;
  /// The minidump written beside the log of each last-chance exception.
  MinidumpKind Minidump = MinidumpKind::Normal;
};

class TpreferenceForm : public ModalDialog {
 public:
  // Control ids; "Ok" is IDOK, so Enter reaches it.
  static constexpr int kDispCallStackOnBreakCheckBox = 101;
  static constexpr int kStackDepthSpinEdit = 102;
  static constexpr int kStackDepthUpDown = 103;
  static constexpr int kMapCheckBox = 104;
  static constexpr int kScanEntriesCheckBox = 105;
  /// Drop-down list: "None", "Normal", "Full memory", in the order of MinidumpKind.
  static constexpr int kMinidumpComboBox = 106;

  static constexpr int kMinStackDepth = 0;
  static constexpr int kMaxStackDepth = 255;

  /// The record shown when the dialog opens; holds the edited values once "Ok" closed it.
  TPrefSettings Settings;

  /// The spin field's value for a typed text: a decimal number limited to 0..255; a text
  /// that is not a number gives 0.
  static int32_t spinValue(const std::string& text);

 protected:
  Frame frame() const override;
  void onCreate() override;
  bool onCommand(int id, int code, HWND control) override;

 private:
  void stackDepthSpinEditExit();
  void okButtonClick();

  HWND dispCallStackOnBreakCheckBox = nullptr;
  HWND stackDepthSpinEdit = nullptr;
  HWND mapCheckBox = nullptr;
  HWND scanEntriesCheckBox = nullptr;
  HWND minidumpComboBox = nullptr;
};

/// Shows the preferences dialog over owner for settings and writes the edited values back.
/// There is no Cancel: "Ok" is the only way out.
void editPreferences(HWND owner, TPrefSettings& settings);

}  // namespace ostrel::ui
