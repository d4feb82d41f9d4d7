// A tiny DLL for load/unload cycles: one undecorated export (linked with --kill-at).
#include <windows.h>

extern "C" __declspec(dllexport) int WINAPI TestDllValue(int value) { return value + 1; }

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
