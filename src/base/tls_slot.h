// Reading a TLS slot on the traced-call path without a call into the system and without
// touching the thread's last error: the first 64 slots live in the thread's TEB (TlsSlots,
// as winternl.h declares it), where TlsGetValue itself reads them.
#pragma once

// Where the TEB keeps the first slots; the dispatcher's assembly reads them too.
#define QEL_TEB_TLS_SLOTS 0xe10
#define QEL_TEB_TLS_SLOTS_COUNT 64

#ifndef __ASSEMBLER__
#include <windows.h>
#include <winternl.h>

#include <cstddef>

static_assert(offsetof(TEB, TlsSlots) == QEL_TEB_TLS_SLOTS, "TEB layout");
static_assert(sizeof(TEB::TlsSlots) / sizeof(void*) == QEL_TEB_TLS_SLOTS_COUNT, "TEB layout");

inline void* ReadTlsSlot(DWORD index) {
  if (index < QEL_TEB_TLS_SLOTS_COUNT) {
    void* value;
    asm volatile("movl %%fs:%c2(,%1,4), %0" : "=r"(value) : "r"(index), "i"(QEL_TEB_TLS_SLOTS));
    return value;
  }
  DWORD savedError = GetLastError();
  void* value = TlsGetValue(index);
  SetLastError(savedError);
  return value;
}

// The same for writing, as TlsSetValue does for these slots: no call, last error untouched.
inline void WriteTlsSlot(DWORD index, void* value) {
  if (index < QEL_TEB_TLS_SLOTS_COUNT) {
    asm volatile("movl %1, %%fs:%c2(,%0,4)"
                 :
                 : "r"(index), "r"(value), "i"(QEL_TEB_TLS_SLOTS)
                 : "memory");
    return;
  }
  DWORD savedError = GetLastError();
  TlsSetValue(index, value);
  SetLastError(savedError);
}

// The calling thread's record of size zeroed bytes kept in slot: allocated on the
// thread's first use and kept for its life. Null when there is no slot or no memory.
inline void* ThreadRecord(DWORD slot, size_t size) {
  if (slot == TLS_OUT_OF_INDEXES) return nullptr;
  void* record = ReadTlsSlot(slot);
  if (record != nullptr) return record;
  record = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
  if (record != nullptr && !TlsSetValue(slot, record)) {
    HeapFree(GetProcessHeap(), 0, record);
    return nullptr;
  }
  return record;
}
#endif
