// Reading a TLS slot on the traced-call path without a call into the system and without
// touching the thread's last error: the first 64 slots live in the thread's TEB (TlsSlots,
// as winternl.h declares it), where TlsGetValue itself reads them.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstddef>

static_assert(offsetof(TEB, TlsSlots) == 0xe10, "TEB layout");

inline void* ReadTlsSlot(DWORD index) {
  if (index < 64) {
    void* value;
    asm volatile("movl %%fs:0xe10(,%1,4), %0" : "=r"(value) : "r"(index));
    return value;
  }
  DWORD savedError = GetLastError();
  void* value = TlsGetValue(index);
  SetLastError(savedError);
  return value;
}
