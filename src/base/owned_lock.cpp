// The re-entrant lock that knows its holder.
#include "base/owned_lock.h"

#include "base/address_wait.h"

namespace qelvorn {

namespace {

// Filled while the library's statics are built, on one thread, before any other use.
OwnedLock* registeredLocks[kMaxOwnedLocks];
int registeredCount = 0;

// A thread that cannot be found or has signalled its end no longer holds anything. Asked
// only after a long wait, so neither the free nor the briefly held lock pays for it.
bool HolderEnded(DWORD threadId) {
  DWORD savedError = GetLastError();
  bool ended = false;
  HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, threadId);
  if (thread == nullptr) {
    ended = GetLastError() == ERROR_INVALID_PARAMETER;
  } else {
    ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    CloseHandle(thread);
  }
  SetLastError(savedError);
  return ended;
}

int DepthHeldBy(const OwnedLock& lock, DWORD self) {
  return static_cast<DWORD>(lock.owner) == self ? lock.depth : 0;
}

bool TryTake(OwnedLock& lock, DWORD self) {
  return InterlockedCompareExchange(&lock.owner, static_cast<LONG>(self), 0) == 0;
}

// The wait behind a held lock. Holds are short (a write and a flush or two): a waiter
// yields a while, then sleeps on the owner word until a leave wakes it, at most
// kHolderPatienceMs at a time (see WaitWhileWordIs). Whenever the patience runs out on one
// and the same holder, the waiter asks whether that holder still exists (system calls, so
// only then), and is refused when it has ended: killed at process exit, or by
// TerminateThread, with the lock held.
bool WaitAndTake(OwnedLock& lock, DWORD self) {
  DWORD savedError = GetLastError();
  DWORD since = GetTickCount();
  LONG waitedOn = 0;
  bool taken = false;
  for (unsigned round = 0; !taken; ++round) {
    LONG seen = lock.owner;
    if (seen == 0) {
      taken = TryTake(lock, self);
      continue;
    }
    if (seen != waitedOn) {
      waitedOn = seen;
      since = GetTickCount();
    }
    InterlockedIncrement(&lock.waiters);
    WaitWhileWordIs(&lock.owner, seen, kHolderPatienceMs, round);
    InterlockedDecrement(&lock.waiters);
    if (lock.owner == seen && GetTickCount() - since >= kHolderPatienceMs) {
      if (HolderHasEnded(lock)) break;
      since = GetTickCount();
    }
  }
  SetLastError(savedError);
  return taken;
}

}  // namespace

bool TryEnterOwnedLock(OwnedLock& lock) {
  DWORD self = GetCurrentThreadId();
  if (static_cast<DWORD>(lock.owner) == self) {
    ++lock.depth;
    return true;
  }
  if (!TryTake(lock, self)) return false;
  lock.depth = 1;
  return true;
}

bool EnterOwnedLock(OwnedLock& lock) {
  if (TryEnterOwnedLock(lock)) return true;
  if (!WaitAndTake(lock, GetCurrentThreadId())) return false;
  lock.depth = 1;
  return true;
}

bool HolderHasEnded(const OwnedLock& lock) {
  LONG holder = lock.owner;
  // Still the owner once its thread is found ended: a holder that let go and then ended
  // between the two reads left a free lock, not a dead one.
  return holder != 0 && HolderEnded(static_cast<DWORD>(holder)) && lock.owner == holder;
}

void LeaveOwnedLock(OwnedLock& lock) {
  if (--lock.depth > 0) return;
  InterlockedExchange(&lock.owner, 0);
  // A waiter counts itself before it sleeps, and its sleep returns at once when the owner
  // word has already changed, so a leave that sees no waiter wakes nobody safely.
  if (lock.waiters != 0) WakeWordWaiter(&lock.owner);
}

int HeldDepth(const OwnedLock& lock) {
  return DepthHeldBy(lock, GetCurrentThreadId());
}

void ReleaseDownTo(OwnedLock& lock, int depth) {
  while (HeldDepth(lock) > depth) LeaveOwnedLock(lock);
}

void RegisterOwnedLock(OwnedLock* lock) {
  if (registeredCount < kMaxOwnedLocks) registeredLocks[registeredCount++] = lock;
}

HeldLocks CaptureHeldLocks() {
  HeldLocks held{};
  // Taken before every guarded step of a traced call: the thread is asked for once.
  DWORD self = GetCurrentThreadId();
  for (int i = 0; i < registeredCount; ++i) held.depths[i] = DepthHeldBy(*registeredLocks[i], self);
  return held;
}

void ReleaseHeldLocksDownTo(const HeldLocks& held) {
  for (int i = 0; i < registeredCount; ++i) ReleaseDownTo(*registeredLocks[i], held.depths[i]);
}

}  // namespace qelvorn
