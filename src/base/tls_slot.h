// Reading a TLS slot on the traced-call path without a call into the system and without
// touching the thread's last error: the first slots live in the thread's own block, where
// TlsGetValue itself reads them (base/processor.h says how they are reached).
#pragma once

#include <windows.h>

#include <cstddef>

#include "base/processor.h"

namespace qelvorn {

inline void* ReadTlsSlot(DWORD index) {
  if (index < QEL_TEB_TLS_SLOTS_COUNT) return ReadTebTlsSlot(index);
  DWORD savedError = GetLastError();
  void* value = TlsGetValue(index);
  SetLastError(savedError);
  return value;
}

// The same for writing, as TlsSetValue does for these slots: no call, last error untouched.
inline void WriteTlsSlot(DWORD index, void* value) {
  if (index < QEL_TEB_TLS_SLOTS_COUNT) {
    WriteTebTlsSlot(index, value);
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

}  // namespace qelvorn
