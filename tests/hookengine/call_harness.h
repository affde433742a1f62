// Assembly harness (one per processor folder) that calls a function with chosen argument
// words and known callee-saved registers, and reports what came back: the result, the
// stack pointer and which callee-saved registers the callee did not give back.
#pragma once

// Where the assembly stores each value in RegistersAfterCall: every field is 8 bytes wide
// on both processors, so one layout serves both.
#define HARNESS_AFTER_RESULT 0
#define HARNESS_AFTER_XMM0 8
#define HARNESS_AFTER_STACK_DELTA 16
#define HARNESS_AFTER_CHANGED 24

#ifndef __ASSEMBLER__
#include <cstddef>
#include <cstdint>

struct RegistersAfterCall {
  uint64_t result;              // EAX on x86, RAX on x64
  uint64_t xmm0;                // the low 64 bits of XMM0 on x64; 0 on x86
  int64_t stackDelta;           // the stack pointer after the return minus at the call
  uint64_t changedCalleeSaved;  // one bit per callee-saved register not given back
};

static_assert(offsetof(RegistersAfterCall, result) == HARNESS_AFTER_RESULT, "harness layout");
static_assert(offsetof(RegistersAfterCall, xmm0) == HARNESS_AFTER_XMM0, "harness layout");
static_assert(offsetof(RegistersAfterCall, stackDelta) == HARNESS_AFTER_STACK_DELTA,
              "harness layout");
static_assert(offsetof(RegistersAfterCall, changedCalleeSaved) == HARNESS_AFTER_CHANGED,
              "harness layout");

// Calls target as the processor's calling convention passes words[0..wordCount): all on
// the stack on x86; on x64 the first four in RCX, RDX, R8, R9 and XMM0-XMM3 alike (the
// home area holds filler), the rest above it. Loads known values into every callee-saved
// register first. Not reentrant: it keeps its own frame in static storage during the call.
extern "C" void CallWithRegisterCheck(uintptr_t target, const uintptr_t* words, uint32_t wordCount,
                                      RegistersAfterCall* after);

// Argument words the convention passes in registers: 0 on x86, 4 on x64.
extern "C" const uint32_t kHarnessRegisterWords;
#endif
