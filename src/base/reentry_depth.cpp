// ThreadGuard storage: one TLS slot. A slot that a thread never set reads as 0, which
// covers threads that existed before the library was loaded.
#include "base/reentry_depth.h"

#include <windows.h>

#include "base/tls_slot.h"

namespace qelvorn {

// Never freed: traced calls made by DLLs detached after this one at process exit still
// consult it. No slot until the library's statics are built, so that an early read finds
// nothing rather than slot 0 of somebody else.
DWORD QelReentryDepthSlot = TLS_OUT_OF_INDEXES;

namespace {

[[maybe_unused]] const bool slotTaken = (QelReentryDepthSlot = TlsAlloc(), true);

// Consulted on every traced call, so read without a system call and without touching the
// caller's last error.
int ReadCount() {
  if (QelReentryDepthSlot == TLS_OUT_OF_INDEXES) return 0;
  return static_cast<int>(reinterpret_cast<intptr_t>(ReadTlsSlot(QelReentryDepthSlot)));
}

void WriteCount(int count) {
  if (QelReentryDepthSlot == TLS_OUT_OF_INDEXES) return;
  WriteTlsSlot(QelReentryDepthSlot, reinterpret_cast<void*>(static_cast<intptr_t>(count)));
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

}  // namespace qelvorn
