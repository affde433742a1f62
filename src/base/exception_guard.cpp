// The C++ half of the catch-all: language exceptions are caught here, inside the
// structured-exception record, so none ever unwinds through the assembly frame; after a
// structured exception the state the abandoned frames held is put back.
#include "base/exception_guard.h"

#include <windows.h>

#include "base/owned_lock.h"
#include "base/processor.h"
#include "base/reentry_depth.h"

namespace qelvorn {

namespace {

struct GuardCall {
  GuardedFunction fn;
  void* context;
  bool threw;
};

void CallCatchingCpp(void* raw) {
  GuardCall* call = static_cast<GuardCall*>(raw);
  try {
    call->fn(call->context);
  } catch (...) {
    call->threw = true;
  }
}

// An overflow consumed the guard page below the stack; without a new one the next
// overflow on this thread would end the process. Back in the guard's shallow frame, the
// page just below the stack pointer becomes the guard page again.
void RearmStackGuard() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  uintptr_t pageSize = system.dwPageSize;
  volatile char marker = 0;
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(const_cast<char*>(&marker), &info, sizeof info) == 0) return;
  uintptr_t stackBottom = reinterpret_cast<uintptr_t>(info.AllocationBase);
  uintptr_t guardPage = (reinterpret_cast<uintptr_t>(&marker) - pageSize) & ~(pageSize - 1);
  // Leave the lowest pages alone: the system needs them to raise the next overflow.
  if (guardPage < stackBottom + 2 * pageSize) return;
  void* page = reinterpret_cast<void*>(guardPage);
  if (VirtualQuery(page, &info, sizeof info) == 0) return;
  if (info.State != MEM_COMMIT &&
      VirtualAlloc(page, pageSize, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
    return;
  }
  DWORD previous = 0;
  VirtualProtect(page, pageSize, PAGE_READWRITE | PAGE_GUARD, &previous);
}

}  // namespace

GuardOutcome RunGuarded(GuardedFunction fn, void* context) {
  HeldLocks held = CaptureHeldLocks();
  int guardCount = ThreadGuardCount();
  GuardCall call{fn, context, false};
  int code = QelRunSehGuarded(&CallCatchingCpp, &call);
  if (code != 0) {
    DWORD savedError = GetLastError();
    ReleaseHeldLocksDownTo(held);
    SetThreadGuardCount(guardCount);
    if (static_cast<DWORD>(code) == STATUS_STACK_OVERFLOW) RearmStackGuard();
    SetLastError(savedError);
    return GuardOutcome::kStructuredException;
  }
  return call.threw ? GuardOutcome::kCppException : GuardOutcome::kCompleted;
}

}  // namespace qelvorn
