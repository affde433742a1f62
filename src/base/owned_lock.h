// A re-entrant lock that knows its holder. It is made once and never destroyed, so no
// thread can meet a dead lock at process exit; a waiter whose holder no longer exists
// (killed at exit while writing) is refused instead of waiting forever; and a recovery
// path can release what a faulted frame took.
#pragma once

#include <windows.h>

namespace qelvorn {

struct OwnedLock;
void RegisterOwnedLock(OwnedLock* lock);

// Made while the library loads; never destroyed. Every one is registered, so that the
// catch-all can put back whatever locks a faulted frame had taken. The lock is the owner
// word itself, taken by an interlocked exchange, so a holder killed at any instruction
// leaves either a free lock or its own id behind, never a half-taken state.
struct OwnedLock {
  volatile LONG owner = 0;    // thread id of the holder; 0 while free
  int depth = 0;              // the holder's re-entry count; only the holder touches it
  volatile LONG waiters = 0;  // threads waiting on owner, woken by the last leave
  OwnedLock() { RegisterOwnedLock(this); }
  OwnedLock(const OwnedLock&) = delete;
  OwnedLock& operator=(const OwnedLock&) = delete;
};

// How long a waiter waits on one and the same holder before it asks whether that holder
// still exists.
constexpr DWORD kHolderPatienceMs = 100;

// False only when the lock is held by a thread that has ended.
bool EnterOwnedLock(OwnedLock& lock);
// Takes the lock only when that needs no wait.
bool TryEnterOwnedLock(OwnedLock& lock);
void LeaveOwnedLock(OwnedLock& lock);
// True when the lock is held by a thread that has ended (system calls: for long waits).
bool HolderHasEnded(const OwnedLock& lock);
// How often the calling thread holds the lock (0 when it does not).
int HeldDepth(const OwnedLock& lock);
// Releases the calling thread's holds down to depth, for a recovery path whose frames
// were abandoned by a caught fault.
void ReleaseDownTo(OwnedLock& lock, int depth);

// The calling thread's depth in every registered lock, read before a guarded region and
// restored after a fault in it.
constexpr int kMaxOwnedLocks = 8;
struct HeldLocks {
  int depths[kMaxOwnedLocks];
};
HeldLocks CaptureHeldLocks();
void ReleaseHeldLocksDownTo(const HeldLocks& held);

// Holds a lock for one scope. Check held(): a lock whose holder died is not taken.
struct OwnedLockHold {
  explicit OwnedLockHold(OwnedLock& lock) : lock_(lock), held_(EnterOwnedLock(lock)) {}
  ~OwnedLockHold() {
    if (held_) LeaveOwnedLock(lock_);
  }
  bool held() const { return held_; }
  OwnedLockHold(const OwnedLockHold&) = delete;
  OwnedLockHold& operator=(const OwnedLockHold&) = delete;

 private:
  OwnedLock& lock_;
  bool held_;
};

}  // namespace qelvorn
