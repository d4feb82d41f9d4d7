// A DLL named by its export table only (no map, no symbols), built with frame pointers:
// its chain calls back into the program through a pointer the program handed it.
#include <windows.h>

namespace {
volatile int gExportZero = 0;
// Kept in memory and called through it, the way a DLL calls the program's callbacks.
int (*gCallback)(int) = nullptr;
}  // namespace

extern "C" __declspec(dllexport) __attribute__((noinline, noclone)) int ExportMiddle(int value) {
  return gCallback(value) + gExportZero;
}

extern "C" __declspec(dllexport) __attribute__((noinline, noclone)) int ExportEnter(
    int (*callback)(int), int value) {
  gCallback = callback;
  return ExportMiddle(value) + gExportZero;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
