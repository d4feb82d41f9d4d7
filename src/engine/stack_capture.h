// Thread context and stack bounds of a debuggee thread.
#pragma once

#include "platform/debug_platform.h"

namespace ostrel {

/// Clears the record, sets flags 0x00010007 and fetches the context. False for a null
/// handle or a failed fetch.
bool readThreadContext(DebugPlatform& platform, Handle thread, ThreadContext& context);

/// Context plus the first 48 bytes of the thread's information block. False when a
/// handle is null, the context cannot be fetched, the block cannot be located or read.
bool readThreadStackInfo(DebugPlatform& platform, Handle process, Handle thread,
                         ThreadContext& context, StackInfoBlock& info);

}  // namespace ostrel
