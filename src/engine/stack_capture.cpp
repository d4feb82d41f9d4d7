#include "engine/stack_capture.h"

#include <cstring>

namespace ostrel {

bool readThreadContext(DebugPlatform& platform, Handle thread, ThreadContext& context) {
  std::memset(&context, 0, sizeof context);
  context.ContextFlags = kContextI386Full;
  if (thread == 0) return false;
  return platform.getThreadContext(thread, context);
}

bool readThreadStackInfo(DebugPlatform& platform, Handle process, Handle thread,
                         ThreadContext& context, StackInfoBlock& info) {
  if (process == 0 || thread == 0) return false;
  if (!readThreadContext(platform, thread, context)) return false;
  auto block = platform.threadInfoBlockAddress(process, thread, context.SegFs);
  if (!block) return false;
  uint32_t got = 0;
  return platform.readMemory(process, *block, &info, sizeof info, &got) && got == sizeof info;
}

}  // namespace ostrel
