// ThreadGuard storage: one TLS slot. A slot that a thread never set reads as 0, which
// covers threads that existed before the library was loaded.
#include "base/thread_guard.h"

#include <windows.h>

namespace {

// Never freed: traced calls made by DLLs detached after this one at process exit still
// consult it.
struct GuardSlot {
  DWORD index = TlsAlloc();
};
GuardSlot guardSlot;

// TlsGetValue clears the last error on success; the guard is consulted inside traced
// calls, so it puts the caller's value back.
int ReadCount() {
  if (guardSlot.index == TLS_OUT_OF_INDEXES) return 0;
  DWORD saved = GetLastError();
  int count = static_cast<int>(reinterpret_cast<intptr_t>(TlsGetValue(guardSlot.index)));
  SetLastError(saved);
  return count;
}

void WriteCount(int count) {
  if (guardSlot.index == TLS_OUT_OF_INDEXES) return;
  DWORD saved = GetLastError();
  TlsSetValue(guardSlot.index, reinterpret_cast<void*>(static_cast<intptr_t>(count)));
  SetLastError(saved);
}

}  // namespace

int ThreadGuardCount() {
  return ReadCount();
}
void RaiseThreadGuard() {
  WriteCount(ReadCount() + 1);
}
void LowerThreadGuard() {
  WriteCount(ReadCount() - 1);
}
void SetThreadGuardCount(int count) {
  WriteCount(count);
}
int ThreadGuardCountChangingLastError() {
  if (guardSlot.index == TLS_OUT_OF_INDEXES) return 0;
  return static_cast<int>(reinterpret_cast<intptr_t>(TlsGetValue(guardSlot.index)));
}
void SetThreadGuardCountChangingLastError(int count) {
  if (guardSlot.index == TLS_OUT_OF_INDEXES) return;
  TlsSetValue(guardSlot.index, reinterpret_cast<void*>(static_cast<intptr_t>(count)));
}
