// The reentry depth (ThreadGuard): a per-thread count that keeps the recorders from
// recording the library's own work. Reading or changing it never disturbs the last error.
#pragma once

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

// Sets the count without putting the thread's last error back, for a caller that restores
// it anyway (the recorders, on every traced call).
void SetThreadGuardCountChangingLastError(int count);

// Puts the count back to a value read earlier; used after an exception abandoned the
// frames that would have lowered it.
void SetThreadGuardCount(int count);
