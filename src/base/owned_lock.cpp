// The re-entrant lock that knows its holder.
#include "base/owned_lock.h"

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

}  // namespace

bool EnterOwnedLock(OwnedLock& lock) {
  DWORD self = GetCurrentThreadId();
  if (!TryEnterCriticalSection(&lock.section)) {
    // Holds are short (a write and a flush), so a waiter yields to the holder and tries
    // again; only a wait that outlasts kPatienceMs asks whether the holder still exists,
    // which takes system calls. The holder clears owner before it leaves, so a non-zero
    // owner is the live holder or one killed holding the lock (at process exit, or by
    // TerminateThread).
    constexpr DWORD kPatienceMs = 100;
    DWORD start = GetTickCount();
    bool taken = false;
    while (!taken && GetTickCount() - start < kPatienceMs) {
      SwitchToThread();
      taken = TryEnterCriticalSection(&lock.section) != FALSE;
    }
    if (!taken) {
      DWORD holder = lock.owner;
      if (holder != 0 && holder != self && HolderEnded(holder)) return false;
      EnterCriticalSection(&lock.section);
    }
  }
  lock.owner = self;
  ++lock.depth;
  return true;
}

void LeaveOwnedLock(OwnedLock& lock) {
  if (--lock.depth == 0) lock.owner = 0;
  LeaveCriticalSection(&lock.section);
}

int HeldDepth(const OwnedLock& lock) {
  return lock.owner == GetCurrentThreadId() ? lock.depth : 0;
}

void ReleaseDownTo(OwnedLock& lock, int depth) {
  while (HeldDepth(lock) > depth) LeaveOwnedLock(lock);
}

void RegisterOwnedLock(OwnedLock* lock) {
  if (registeredCount < kMaxOwnedLocks) registeredLocks[registeredCount++] = lock;
}

HeldLocks CaptureHeldLocks() {
  HeldLocks held{};
  for (int i = 0; i < registeredCount; ++i) held.depths[i] = HeldDepth(*registeredLocks[i]);
  return held;
}

void ReleaseHeldLocksDownTo(const HeldLocks& held) {
  for (int i = 0; i < registeredCount; ++i) ReleaseDownTo(*registeredLocks[i], held.depths[i]);
}
