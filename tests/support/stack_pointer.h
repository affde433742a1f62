// The stack pointer where the caller stands, for fixture hosts that check a traced call
// moves it exactly as the untraced call does.
#pragma once

#include <cstdint>

#if defined(__x86_64__)
#define QEL_STACK_POINTER "rsp"
#else
#define QEL_STACK_POINTER "esp"
#endif

namespace qeltest {

__attribute__((always_inline)) inline uintptr_t StackPointer() {
  uintptr_t value;
  asm volatile("mov %%" QEL_STACK_POINTER ", %0" : "=r"(value)::"memory");
  return value;
}

}  // namespace qeltest
