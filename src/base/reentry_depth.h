// The reentry depth (ThreadGuard): a per-thread count that keeps the recorders from
// recording the library's own work. Reading or changing it never disturbs the last error.
#pragma once

#include <windows.h>

namespace qelvorn {

// The TLS slot that holds the count, read by the dispatcher in assembly to let the
// library's own calls through without a frame (TLS_OUT_OF_INDEXES when there is none).
extern "C" DWORD QelReentryDepthSlot;

int ThreadGuardCount();
void RaiseThreadGuard();
void LowerThreadGuard();

// Raises the count for one scope; lowered again on every path out.
struct ThreadGuardScope {
  ThreadGuardScope() { RaiseThreadGuard(); }
  ~ThreadGuardScope() { LowerThreadGuard(); }
  ThreadGuardScope(const ThreadGuardScope&) = delete;
  ThreadGuardScope& operator=(const ThreadGuardScope&) = delete;
};

// Sets the count outright: the recorders around each line, and the catch-all putting back
// a value read earlier after an exception abandoned the frames that would have lowered it.
void SetThreadGuardCount(int count);

}  // namespace qelvorn
