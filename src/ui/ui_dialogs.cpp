#include "ui/ui_dialogs.h"

#include <commdlg.h>
#include <shlobj.h>

namespace ostrel::ui {

namespace {

UiDialogs* installed = nullptr;

UINT boxStyle(BoxKind kind) {
  switch (kind) {
    case BoxKind::Information:
      return MB_OK | MB_ICONINFORMATION;
    case BoxKind::Warning:
      return MB_OK | MB_ICONWARNING;
    case BoxKind::Error:
      return MB_OK | MB_ICONERROR;
    case BoxKind::Plain:
      break;
  }
  return MB_OK;
}

const char* boxCaption(BoxKind kind) {
  switch (kind) {
    case BoxKind::Information:
      return "Information";
    case BoxKind::Warning:
      return "Warning";
    case BoxKind::Error:
      return "Error";
    case BoxKind::Plain:
      break;
  }
  return "Ostrel";
}

}  // namespace

std::string fileDialogFilter(const std::string& filter) {
  std::string result = filter;
  for (char& c : result)
    if (c == '|') c = '\0';
  result.push_back('\0');
  result.push_back('\0');
  return result;
}

void SystemDialogs::messageBox(HWND owner, const std::string& text, BoxKind kind) {
  MessageBoxA(owner, text.c_str(), boxCaption(kind), boxStyle(kind));
}

std::optional<std::string> SystemDialogs::openFile(HWND owner, const std::string& filter) {
  const std::string filters = fileDialogFilter(filter);
  char file[MAX_PATH] = {};
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filters.c_str();
  ofn.lpstrFile = file;
  ofn.nMaxFile = MAX_PATH;
  ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER;
  if (!GetOpenFileNameA(&ofn)) return std::nullopt;
  return std::string(file);
}

std::optional<std::string> SystemDialogs::saveFile(HWND owner, const std::string& title,
                                                   const std::string& filter,
                                                   const std::string& defaultExtension,
                                                   const std::string& proposedName,
                                                   bool confirmOverwrite) {
  const std::string filters = fileDialogFilter(filter);
  char file[MAX_PATH] = {};
  lstrcpynA(file, proposedName.c_str(), MAX_PATH);
  // "*.txt" names the extension as the save dialog wants it: "txt".
  std::string extension = defaultExtension;
  const size_t dot = extension.rfind('.');
  if (dot != std::string::npos) extension.erase(0, dot + 1);
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filters.c_str();
  ofn.lpstrFile = file;
  ofn.nMaxFile = MAX_PATH;
  ofn.lpstrTitle = title.c_str();
  ofn.lpstrDefExt = extension.c_str();
  ofn.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER |
              (confirmOverwrite ? OFN_OVERWRITEPROMPT : 0);
  if (!GetSaveFileNameA(&ofn)) return std::nullopt;
  return std::string(file);
}

std::optional<std::string> SystemDialogs::browseFolder(HWND owner, const std::string& title) {
  LPITEMIDLIST root = nullptr;
  SHGetSpecialFolderLocation(owner, CSIDL_DRIVES, &root);
  char name[MAX_PATH] = {};
  BROWSEINFOA info{};
  info.hwndOwner = owner;
  info.pidlRoot = root;
  info.pszDisplayName = name;
  info.lpszTitle = title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  LPITEMIDLIST picked = SHBrowseForFolderA(&info);
  std::optional<std::string> result;
  if (picked != nullptr) {
    char path[MAX_PATH] = {};
    if (SHGetPathFromIDListA(picked, path)) result = std::string(path);
    CoTaskMemFree(picked);
  }
  if (root != nullptr) CoTaskMemFree(root);
  return result;
}

UiDialogs& uiDialogs() {
  static SystemDialogs system;
  return installed != nullptr ? *installed : system;
}

void setUiDialogs(UiDialogs* dialogs) { installed = dialogs; }

}  // namespace ostrel::ui
