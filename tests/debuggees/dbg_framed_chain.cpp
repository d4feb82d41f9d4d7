// Routines built with frame pointers (see CMakeLists.txt), unlike the rest of the sample:
// a chain whose frames can be followed, above code whose frames cannot.
extern "C" int outerRoutine(int offset);

namespace {
volatile int gFramedZero = 0;
}

// One frame per level: the result is stored in the frame after the call, so the compiler
// can neither loop nor jump instead of calling.
extern "C" __attribute__((noinline)) int framedRecurse(int depth) {
  volatile int frame[2] = {depth, 0};
  if (depth > 0)
    frame[1] = framedRecurse(depth - 1);
  else
    frame[1] = outerRoutine(gFramedZero);
  return frame[1] + gFramedZero;
}

extern "C" __attribute__((noinline)) int framedOuter(int depth) {
  volatile int result = framedRecurse(depth);
  return result + gFramedZero;
}
