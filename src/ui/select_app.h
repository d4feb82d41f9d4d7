// STUB until the dialogs branch lands.
#pragma once
#include <windows.h>

#include <string>
namespace ostrel::ui {
bool selectApplication(HWND owner, bool errorPathOnly, std::string& appName, std::string& appParams,
                       std::string& errorPath);
}  // namespace ostrel::ui
