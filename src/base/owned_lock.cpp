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

using WaitOnAddressFn = BOOL(WINAPI*)(volatile VOID*, PVOID, SIZE_T, DWORD);
using WakeByAddressFn = VOID(WINAPI*)(PVOID);

// Sleeping on an address with a timeout (Windows 8 on) lets a waiter block, so it leaves
// the processors to the holder and the threads formatting their lines, and still wake to
// ask whether the holder has ended. Looked up once while the library loads; the module
// is loaded in every process that has these functions.
struct AddressWait {
  WaitOnAddressFn wait = nullptr;
  WakeByAddressFn wake = nullptr;
  AddressWait() {
    HMODULE module = GetModuleHandleW(L"kernelbase.dll");
    if (module == nullptr) return;
    auto waitFn = reinterpret_cast<WaitOnAddressFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WaitOnAddress")));
    auto wakeFn = reinterpret_cast<WakeByAddressFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WakeByAddressSingle")));
    if (waitFn != nullptr && wakeFn != nullptr) {
      wait = waitFn;
      wake = wakeFn;
    }
  }
};
const AddressWait addressWait;

bool TryTake(OwnedLock& lock, DWORD self) {
  return InterlockedCompareExchange(&lock.owner, static_cast<LONG>(self), 0) == 0;
}

// The wait behind a held lock. Holds are short (a write and a flush): a waiter sleeps on
// the owner word until a leave wakes it, at most kPatienceMs at a time; without address
// waits it yields, and sleeps once the holder has kept the lock that long. Whenever the
// patience runs out on one and the same holder, the waiter asks whether that holder still
// exists (system calls, so only then), and is refused when it has ended: killed at
// process exit, or by TerminateThread, with the lock held.
bool WaitAndTake(OwnedLock& lock, DWORD self) {
  constexpr DWORD kPatienceMs = 100;
  DWORD savedError = GetLastError();
  DWORD since = GetTickCount();
  LONG waitedOn = 0;
  bool taken = false;
  while (!taken) {
    LONG seen = lock.owner;
    if (seen == 0) {
      taken = TryTake(lock, self);
      continue;
    }
    if (seen != waitedOn) {
      waitedOn = seen;
      since = GetTickCount();
    }
    if (addressWait.wait != nullptr) {
      InterlockedIncrement(&lock.waiters);
      addressWait.wait(&lock.owner, &seen, sizeof seen, kPatienceMs);
      InterlockedDecrement(&lock.waiters);
    } else if (GetTickCount() - since < kPatienceMs) {
      SwitchToThread();
    } else {
      Sleep(1);
    }
    if (lock.owner == seen && GetTickCount() - since >= kPatienceMs) {
      if (HolderEnded(static_cast<DWORD>(seen))) break;
      since = GetTickCount();
    }
  }
  SetLastError(savedError);
  return taken;
}

}  // namespace

bool EnterOwnedLock(OwnedLock& lock) {
  DWORD self = GetCurrentThreadId();
  if (static_cast<DWORD>(lock.owner) == self) {
    ++lock.depth;
    return true;
  }
  if (!TryTake(lock, self) && !WaitAndTake(lock, self)) return false;
  lock.depth = 1;
  return true;
}

void LeaveOwnedLock(OwnedLock& lock) {
  if (--lock.depth > 0) return;
  InterlockedExchange(&lock.owner, 0);
  // A waiter counts itself before it sleeps, and its sleep returns at once when the owner
  // word has already changed, so a leave that sees no waiter wakes nobody safely.
  if (lock.waiters != 0 && addressWait.wake != nullptr) {
    addressWait.wake(const_cast<LONG*>(&lock.owner));
  }
}

int HeldDepth(const OwnedLock& lock) {
  return static_cast<DWORD>(lock.owner) == GetCurrentThreadId() ? lock.depth : 0;
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
