// Every message box, file dialog and folder browser of the program goes through this one
// seam, so that tests replace it and no modal box of the system ever blocks them.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace ostrel::ui {

enum class BoxKind { Plain, Information, Warning, Error };

class UiDialogs {
 public:
  virtual ~UiDialogs() = default;
  /// A modal message box with the single button OK.
  virtual void messageBox(HWND owner, const std::string& text, BoxKind kind) = 0;
  /// The file-open dialog; filter in the "Description|*.ext" form. nullopt when cancelled.
  virtual std::optional<std::string> openFile(HWND owner, const std::string& filter) = 0;
  /// The save dialog: title, filter ("Txt|*.txt"), default extension and proposed name.
  /// With confirmOverwrite, picking an existing file asks whether to replace it.
  virtual std::optional<std::string> saveFile(HWND owner, const std::string& title,
                                              const std::string& filter,
                                              const std::string& defaultExtension,
                                              const std::string& proposedName,
                                              bool confirmOverwrite = false) = 0;
  /// The folder browser, rooted at the computer's drives. nullopt when cancelled.
  virtual std::optional<std::string> browseFolder(HWND owner, const std::string& title) = 0;
};

/// The system's boxes and dialogs.
class SystemDialogs : public UiDialogs {
 public:
  void messageBox(HWND owner, const std::string& text, BoxKind kind) override;
  std::optional<std::string> openFile(HWND owner, const std::string& filter) override;
  std::optional<std::string> saveFile(HWND owner, const std::string& title,
                                      const std::string& filter,
                                      const std::string& defaultExtension,
                                      const std::string& proposedName,
                                      bool confirmOverwrite = false) override;
  std::optional<std::string> browseFolder(HWND owner, const std::string& title) override;
};

/// The installed seam (the system's until replaced; nullptr restores it).
UiDialogs& uiDialogs();
void setUiDialogs(UiDialogs* dialogs);

/// "Description|*.ext|..." to the double-zero-terminated form of the file dialogs.
std::string fileDialogFilter(const std::string& filter);

}  // namespace ostrel::ui
