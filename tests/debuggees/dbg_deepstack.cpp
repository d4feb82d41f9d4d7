// A debuggee whose crash leaves a deep stack: a second thread recurses until it has used
// nearly the requested number of KiB of stack (1024 by default), so that much of its stack is
// committed and holds one return address per frame, then writes through a null pointer
// and leaves the access violation unhandled.
//
//   dbg_deepstack.exe [KIB]
#include <windows.h>

#include <cstdlib>

namespace {

volatile int* volatile gNull = nullptr;
volatile unsigned gSink = 0;

constexpr unsigned kFrameBytes = 1024;

void descendB(unsigned framesLeft);

// Two functions calling each other, so that neighbouring frames hold different return
// addresses (a scan drops a repeat of the address it stored last).
__attribute__((noinline)) void descendA(unsigned framesLeft) {
  // A local buffer per frame makes each frame about a KiB; touching it commits the pages.
  volatile unsigned char local[kFrameBytes - 64];
  for (unsigned i = 0; i < sizeof local; i += 256) local[i] = static_cast<unsigned char>(i);
  if (framesLeft == 0) {
    *gNull = 1;
  } else {
    descendB(framesLeft - 1);
  }
  gSink = gSink + local[0];  // keeps the call from becoming a jump
}

__attribute__((noinline)) void descendB(unsigned framesLeft) {
  volatile unsigned char local[kFrameBytes - 64];
  for (unsigned i = 0; i < sizeof local; i += 256) local[i] = static_cast<unsigned char>(i);
  descendA(framesLeft);
  gSink = gSink + local[0];
}

DWORD WINAPI deepThread(void* param) {
  descendA(static_cast<unsigned>(reinterpret_cast<uintptr_t>(param)));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned kib = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1024;
  // The recursion fills all but the last 64 KiB of the reservation, so about KIB KiB are
  // committed whether the system commits on touch or all at once.
  const SIZE_T reserve = SIZE_T(kib < 128 ? 128 : kib) * 1024;
  const unsigned frames = (kib < 128 ? 64 : kib - 64) / 2;  // a pair of frames per step
  HANDLE thread = CreateThread(nullptr, reserve, deepThread,
                               reinterpret_cast<void*>(uintptr_t(frames)),
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return 9;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return 0;
}
