// Threads and handles of the test program itself, for tests that check nothing leaks.
#pragma once

#include <windows.h>

namespace ostrel::wine_test {

/// Threads of this process (-1 when the system cannot tell).
int threadCount();
/// Handles this process holds.
DWORD handleCount();

}  // namespace ostrel::wine_test
