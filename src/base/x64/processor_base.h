// The base layer's x64 names (see base/processor.h): where the thread's TEB keeps its
// first TLS slots, reached through GS, and the time-stamp counter.
#pragma once

// Where the TEB keeps the first slots (TlsSlots, as winternl.h declares it), where
// TlsGetValue itself reads them; the dispatcher's assembly reads them too.
#define QEL_TEB_TLS_SLOTS 0x1480
#define QEL_TEB_TLS_SLOTS_COUNT 64

#ifndef __ASSEMBLER__
#include <windows.h>

#include <cstdint>

namespace qelvorn {

inline void* ReadTebTlsSlot(DWORD index) {
  void* value;
  asm volatile("movq %%gs:%c2(,%1,8), %0"
               : "=r"(value)
               : "r"(static_cast<uint64_t>(index)), "i"(QEL_TEB_TLS_SLOTS));
  return value;
}

inline void WriteTebTlsSlot(DWORD index, void* value) {
  asm volatile("movq %1, %%gs:%c2(,%0,8)"
               :
               : "r"(static_cast<uint64_t>(index)), "r"(value), "i"(QEL_TEB_TLS_SLOTS)
               : "memory");
}

inline uint64_t ReadCycleCounter() {
  uint32_t low, high;
  asm volatile("rdtsc" : "=a"(low), "=d"(high));
  return (static_cast<uint64_t>(high) << 32) | low;
}

}  // namespace qelvorn
#endif
