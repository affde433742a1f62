// ThreadGuard storage: one TLS slot. A slot that a thread never set reads as 0, which
// covers threads that existed before the library was loaded.
#include "base/reentry_depth.h"

#include <windows.h>

#include "base/tls_slot.h"

namespace {

// Never freed: traced calls made by DLLs detached after this one at process exit still
// consult it.
struct GuardSlot {
  DWORD index = TlsAlloc();
};
GuardSlot guardSlot;

// Consulted on every traced call, so read without a system call and without touching the
// caller's last error.
int ReadCount() {
  if (guardSlot.index == TLS_OUT_OF_INDEXES) return 0;
  return static_cast<int>(reinterpret_cast<intptr_t>(ReadTlsSlot(guardSlot.index)));
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
void SetThreadGuardCountChangingLastError(int count) {
  if (guardSlot.index == TLS_OUT_OF_INDEXES) return;
  TlsSetValue(guardSlot.index, reinterpret_cast<void*>(static_cast<intptr_t>(count)));
}
