#include "ui/about_form.h"

#include "ui/ui_dialogs.h"

namespace ostrel::ui {

ModalDialog::Frame TostrelAboutForm::frame() const {
  Frame f;
  f.caption = "About Ostrel";
  f.style = WS_CAPTION;  // no title-bar buttons
  f.width = f.minWidth = f.maxWidth = 367;
  f.height = f.minHeight = f.maxHeight = 184;
  return f;
}

void TostrelAboutForm::onCreate() {
  RECT client{};
  GetClientRect(handle(), &client);
  const int width = dpi().unscale(client.right), height = dpi().unscale(client.bottom);
  const int frameBottom = height - 8 - 25 - 8;
  createControl(handle(), "STATIC", "", WS_VISIBLE | SS_ETCHEDFRAME, 8, 8, width - 16,
                frameBottom - 8, -1, dpi());
  HWND title =
      createControl(handle(), "STATIC", "Ostrel", WS_VISIBLE, 18, 18, 180, 18, kTitleLabel, dpi());
  SendMessageA(title, WM_SETFONT, reinterpret_cast<WPARAM>(uiBoldFont(dpi())), TRUE);
  createControl(handle(), "STATIC", "ver 1.0.0.0", WS_VISIBLE | SS_RIGHT, width - 18 - 130, 18,
                130, 16, kVersionLabel, dpi());
  HWND picture = createControl(handle(), "STATIC", "", WS_VISIBLE | SS_ICON | SS_NOTIFY, 18, 48, 32,
                               32, kLadyBugImage, dpi());
  HANDLE icon = LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kLadyBugIcon), IMAGE_ICON,
                           dpi()(32), dpi()(32), LR_SHARED);
  if (icon != nullptr) SendMessageA(picture, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
  createControl(handle(), "STATIC", "Copyright (c) 2026 the Ostrel authors", WS_VISIBLE | SS_RIGHT,
                64, frameBottom - 10 - 30, width - 64 - 18, 30, kCopyrightLabel, dpi());
  createControl(handle(), "BUTTON", "&Close", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                (width - 75) / 2, height - 8 - 25, 75, 25, IDOK, dpi());
  fill();
}

void TostrelAboutForm::fill() {
  if (!block_.available()) {
    // Title and copyright keep their design texts.
    setWindowText(item(kVersionLabel), "");
    return;
  }
  setWindowText(item(kTitleLabel), block_.value("ProductName"));
  setWindowText(item(kVersionLabel), "ver " + block_.number(1));
  // The line up to the word "author"; without that word, nothing.
  const std::string copyright = block_.value("LegalCopyright");
  const size_t author = copyright.find("author");
  setWindowText(item(kCopyrightLabel),
                author == std::string::npos ? std::string() : copyright.substr(0, author));
}

bool TostrelAboutForm::onCommand(int id, int code, HWND) {
  if (id == kLadyBugImage) {
    if (code == STN_CLICKED)
      uiDialogs().messageBox(handle(), "This is not a real Lady bug! Don't you?", BoxKind::Plain);
    else if (code == STN_DBLCLK)
      uiDialogs().messageBox(handle(), "What is a problem with this bug picture?",
                             BoxKind::Information);
    return true;
  }
  if (code == BN_CLICKED && (id == IDOK || id == IDCANCEL)) {
    end(id);
    return true;
  }
  return false;
}

void showAbout(HWND owner) { showAbout(owner, excpack::appVersionBlock()); }

void showAbout(HWND owner, const excpack::AppVersionBlock& block) {
  TostrelAboutForm form(block);
  form.showModal(owner);
}

}  // namespace ostrel::ui
