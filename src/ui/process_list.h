// STUB until the dialogs branch lands.
#pragma once
#include <windows.h>

#include <cstdint>
namespace ostrel::ui {
int32_t selectProcess(HWND owner);
}  // namespace ostrel::ui
