// The about box: name, version and copyright line from the program's own version block,
// and a lady bug.
#pragma once

#include <windows.h>

#include "excpack/version_info.h"
#include "ui/modal_dialog.h"

namespace ostrel::ui {

/// The resource id of the lady bug picture (a 32 x 32 icon in the program's resources).
constexpr int kLadyBugIcon = 1;

class TostrelAboutForm : public ModalDialog {
 public:
  // Control ids; "&Close" is IDOK, so Enter reaches it, and Escape closes as well.
  static constexpr int kTitleLabel = 101;
  static constexpr int kVersionLabel = 102;
  static constexpr int kCopyrightLabel = 103;
  static constexpr int kLadyBugImage = 104;

  /// block: the version block the labels are filled from.
  explicit TostrelAboutForm(const excpack::AppVersionBlock& block) : block_(block) {}

 protected:
  Frame frame() const override;
  void onCreate() override;
  bool onCommand(int id, int code, HWND control) override;

 private:
  void fill();

  const excpack::AppVersionBlock& block_;
};

/// Shows the about box over owner, filled from the program's own version block.
void showAbout(HWND owner);
/// The same with another block (an empty one: a program without a version resource).
void showAbout(HWND owner, const excpack::AppVersionBlock& block);

}  // namespace ostrel::ui
