// A DLL with a map of its own, built without frame pointers: a short chain of routines
// that ends in an access violation. A walk can only confirm its frames by their calls.
#include <windows.h>

namespace {
volatile int gChainZero = 0;
volatile int* volatile gChainNull = nullptr;
}  // namespace

// Plain C names keep the map's routine names simple; noinline and noclone keep each one a
// frame of its own under its own name, and adding after each call keeps it a call.
extern "C" __attribute__((noinline, noclone)) int chainFault(int offset) {
  return gChainNull[offset] + gChainZero;
}

extern "C" __attribute__((noinline, noclone)) int chainMiddle(int offset) {
  return chainFault(offset) + gChainZero;
}

extern "C" __declspec(dllexport) __attribute__((noinline, noclone)) int ChainEnter(int offset) {
  return chainMiddle(offset) + gChainZero;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
