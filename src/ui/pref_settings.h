// STUB until the dialogs branch lands.
#pragma once
#include <windows.h>

#include <cstdint>
namespace ostrel::ui {
struct TPrefSettings {
  int32_t StackDepth = 32;
  bool DispCallStackOnBreak = false;
  bool LoadMap = true;
};
void editPreferences(HWND owner, TPrefSettings& settings);
}  // namespace ostrel::ui
