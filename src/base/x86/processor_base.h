// The base layer's x86 names (see base/processor.h): where the thread's TEB keeps its
// first TLS slots, reached through FS, and the time-stamp counter.
#pragma once

// Where the TEB keeps the first slots (TlsSlots, as winternl.h declares it), where
// TlsGetValue itself reads them; the dispatcher's assembly reads them too.
#define QEL_TEB_TLS_SLOTS 0xe10
#define QEL_TEB_TLS_SLOTS_COUNT 64

// The structured-exception guard's offsets, checked against the platform's structures.
#include "base/x86/seh_layout.h"

#ifndef __ASSEMBLER__
#include <windows.h>

#include <cstdint>

namespace qelvorn {

inline void* ReadTebTlsSlot(DWORD index) {
  void* value;
  asm volatile("movl %%fs:%c2(,%1,4), %0" : "=r"(value) : "r"(index), "i"(QEL_TEB_TLS_SLOTS));
  return value;
}

inline void WriteTebTlsSlot(DWORD index, void* value) {
  asm volatile("movl %1, %%fs:%c2(,%0,4)"
               :
               : "r"(index), "r"(value), "i"(QEL_TEB_TLS_SLOTS)
               : "memory");
}

inline uint64_t ReadCycleCounter() {
  uint64_t ticks;
  asm volatile("rdtsc" : "=A"(ticks));
  return ticks;
}

}  // namespace qelvorn
#endif
