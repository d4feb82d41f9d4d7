// TselectAppForm: the dialog that names the program to debug (executable, parameters) and
// the folder for exception logs; before Attach it asks for the folder only.
#pragma once

#include <windows.h>

#include <string>

#include "ui/modal_dialog.h"

namespace ostrel::ui {

class TselectAppForm : public ModalDialog {
 public:
  // Control ids; "&Ok" is IDOK and "Cancel" is IDCANCEL, so Enter and Escape reach them.
  static constexpr int kAppNameEdit = 101;
  static constexpr int kSelectAppButton = 102;
  static constexpr int kAppParamsEdit = 103;
  static constexpr int kErrorPathEdit = 104;
  static constexpr int kErrPathButton = 105;

  /// The results: empty until "&Ok" accepts the entries; Cancel leaves them empty.
  std::string AppName;
  std::string AppParams;
  std::string ErrorPath;
  /// Asks for the error-log folder only (before Attach); set before showModal.
  bool ErrorPathOnly = false;

  /// Disables the executable and parameter entries and the executable's "..." button and
  /// changes the caption. showModal calls it in ErrorPathOnly mode.
  void disableControls();

 protected:
  Frame frame() const override;
  void onCreate() override;
  bool onCommand(int id, int code, HWND control) override;

 private:
  void selectAppButtonClick();
  void errPathButtonClick();
  void okButtonClick();

  HWND appNameEdit = nullptr;
  HWND selectAppButton = nullptr;
  HWND appParamsEdit = nullptr;
  HWND errorPathEdit = nullptr;
  HWND errPathButton = nullptr;
};

/// Shows the selection dialog modally over owner. True when the entries are usable: the
/// error-log folder in errorPathOnly mode, else executable and folder (blanks count as
/// given). The three results are always written back; after Cancel they are empty.
bool selectApplication(HWND owner, bool errorPathOnly, std::string& appName, std::string& appParams,
                       std::string& errorPath);

}  // namespace ostrel::ui
