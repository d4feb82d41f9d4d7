#include "ui/select_app.h"

#include "ui/ui_dialogs.h"

namespace ostrel::ui {

namespace {

constexpr DWORD kEditStyle = WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL;
constexpr DWORD kButtonStyle = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;

}  // namespace

ModalDialog::Frame TselectAppForm::frame() const {
  Frame f;
  f.caption = "Select Application";
  f.width = f.minWidth = f.maxWidth = 343;
  f.height = f.minHeight = f.maxHeight = 230;
  return f;
}

void TselectAppForm::onCreate() {
  RECT client{};
  GetClientRect(handle(), &client);
  const int width = dpi().unscale(client.right), height = dpi().unscale(client.bottom);
  const int buttonTop = height - 8 - 25;
  const int right = width - 18;  // inner right edge of the frame's contents
  const int browseLeft = right - 25, editWidth = browseLeft - 6 - 18;

  // Created top to bottom: the creation order is the tab order.
  createControl(handle(), "BUTTON", "", WS_VISIBLE | BS_GROUPBOX, 8, 6, width - 16,
                buttonTop - 8 - 6, -1, dpi());
  createControl(handle(), "STATIC", "Application (Exe) name:", WS_VISIBLE, 18, 22, 200, 13, -1,
                dpi());
  appNameEdit = createControl(handle(), "EDIT", "", kEditStyle, 18, 37, editWidth, 21, kAppNameEdit,
                              dpi(), WS_EX_CLIENTEDGE);
  selectAppButton = createControl(handle(), "BUTTON", "...", kButtonStyle, browseLeft, 37, 25, 21,
                                  kSelectAppButton, dpi());
  createControl(handle(), "STATIC", "Parameters:", WS_VISIBLE, 18, 66, 200, 13, -1, dpi());
  appParamsEdit = createControl(handle(), "EDIT", "", kEditStyle, 18, 81, right - 18, 21,
                                kAppParamsEdit, dpi(), WS_EX_CLIENTEDGE);
  createControl(handle(), "STATIC", "Error log path:", WS_VISIBLE, 18, 110, 200, 13, -1, dpi());
  errorPathEdit = createControl(handle(), "EDIT", "", kEditStyle, 18, 125, editWidth, 21,
                                kErrorPathEdit, dpi(), WS_EX_CLIENTEDGE);
  errPathButton = createControl(handle(), "BUTTON", "...", kButtonStyle, browseLeft, 125, 25, 21,
                                kErrPathButton, dpi());
  createControl(handle(), "BUTTON", "&Ok", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                width - 8 - 75 - 8 - 75, buttonTop, 75, 25, IDOK, dpi());
  createControl(handle(), "BUTTON", "Cancel", kButtonStyle, width - 8 - 75, buttonTop, 75, 25,
                IDCANCEL, dpi());

  if (ErrorPathOnly) disableControls();
}

void TselectAppForm::disableControls() {
  EnableWindow(appNameEdit, FALSE);
  EnableWindow(appParamsEdit, FALSE);
  EnableWindow(selectAppButton, FALSE);
  setWindowText(handle(), "Select or enter an error path");
}

bool TselectAppForm::onCommand(int id, int code, HWND control) {
  if (code != BN_CLICKED) return false;
  // A disabled button can still be sent a click (automation does); it must stay inert.
  if (control != nullptr && !IsWindowEnabled(control)) return true;
  switch (id) {
    case kSelectAppButton:
      selectAppButtonClick();
      return true;
    case kErrPathButton:
      errPathButtonClick();
      return true;
    case IDOK:
      okButtonClick();
      return true;
    case IDCANCEL:  // "Cancel", Escape and the close box store nothing
      end(IDCANCEL);
      return true;
    default:
      return false;
  }
}

void TselectAppForm::selectAppButtonClick() {
  if (auto path = uiDialogs().openFile(handle(), "EXE|*.Exe")) setWindowText(appNameEdit, *path);
}

void TselectAppForm::errPathButtonClick() {
  if (auto path = uiDialogs().browseFolder(handle(), "Browse for Folder"))
    setWindowText(errorPathEdit, *path);
}

void TselectAppForm::okButtonClick() {
  // No message for a missing entry: the focus goes where the user has to type.
  // Entries are taken as typed, so blanks count as given.
  const bool errorPathMissing = windowText(errorPathEdit).empty();
  if (ErrorPathOnly) {
    if (errorPathMissing) {
      SendMessageA(handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(errorPathEdit), TRUE);
      return;
    }
  } else if (windowText(appNameEdit).empty() || errorPathMissing) {
    SendMessageA(handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(appNameEdit), TRUE);
    return;
  }
  AppName = windowText(appNameEdit);
  AppParams = windowText(appParamsEdit);
  ErrorPath = windowText(errorPathEdit);
  end(IDOK);
}

bool selectApplication(HWND owner, bool errorPathOnly, std::string& appName, std::string& appParams,
                       std::string& errorPath) {
  TselectAppForm form;
  form.ErrorPathOnly = errorPathOnly;
  form.showModal(owner);
  const bool usable =
      errorPathOnly ? !form.ErrorPath.empty() : !form.AppName.empty() && !form.ErrorPath.empty();
  appName = form.AppName;
  appParams = form.AppParams;
  errorPath = form.ErrorPath;
  return usable;
}

}  // namespace ostrel::ui
