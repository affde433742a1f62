// What the hook engine's operations answer: one status for every outcome they tell apart.
// The engine never writes the log; the layer that owns it shows these answers.
#pragma once

#include <cstdint>

namespace qelvorn {

enum class HookStatus : int32_t {
  kDone = 0,
  // Import patching's failures, by the numbers it has always answered.
  kUnreadable = -1,     // the module or the imported module's name cannot be read
  kPatchFailed = -2,    // a slot could not be pointed at its HookEntry
  kRestoreFailed = -3,  // a slot could not be given its real function back
  // Memory left as it was, the last error untouched: a protection that is not lifted
  // (no access, guard or no-cache pages, free memory) or a pointer across two regions.
  kRefused = -4,
  kEntriesExhausted = -5,  // no HookEntry left to bind
  // Failures that also set the last error, numbered by it.
  kInvalidHandle = 6,      // a protection change or the write failed (last error 6)
  kInvalidParameter = 87,  // a null target, or no entry's start (last error 87)
};

// A short text naming the status, for messages and test output.
const char* HookStatusText(HookStatus status);

}  // namespace qelvorn
