// Threads, handles and heap memory of the test program itself, for tests that check
// nothing leaks.
#pragma once

#include <windows.h>

namespace ostrel::wine_test {

/// Threads of this process (-1 when the system cannot tell).
int threadCount();
/// Handles this process holds.
DWORD handleCount();
/// Bytes of the blocks in use in every heap of this process (its own allocations and
/// the heap's bookkeeping of them aside).
long long heapBytesInUse();

}  // namespace ostrel::wine_test
