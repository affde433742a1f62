// Assembly harness that calls a function with chosen stack words and known callee-saved
// registers, and reports what the registers and the stack pointer were on return.
#pragma once

// Values the harness loads into the callee-saved registers just before the call.
#define HARNESS_EBX 0xB0B1B2B3
#define HARNESS_ESI 0x51525354
#define HARNESS_EDI 0xD1D2D3D4
#define HARNESS_EBP 0xEB0EB1EB

// Where the assembly stores each register in RegistersAfterCall.
#define HARNESS_AFTER_EAX 0
#define HARNESS_AFTER_EBX 4
#define HARNESS_AFTER_ESI 8
#define HARNESS_AFTER_EDI 12
#define HARNESS_AFTER_EBP 16
#define HARNESS_AFTER_ESP_DELTA 20

#ifndef __ASSEMBLER__
#include <cstdint>

struct RegistersAfterCall {
  uint32_t eax;
  uint32_t ebx;
  uint32_t esi;
  uint32_t edi;
  uint32_t ebp;
  int32_t espDelta;  // ESP after the return minus ESP at the call instruction
};

#include <cstddef>
static_assert(offsetof(RegistersAfterCall, eax) == HARNESS_AFTER_EAX, "harness layout");
static_assert(offsetof(RegistersAfterCall, ebx) == HARNESS_AFTER_EBX, "harness layout");
static_assert(offsetof(RegistersAfterCall, esi) == HARNESS_AFTER_ESI, "harness layout");
static_assert(offsetof(RegistersAfterCall, edi) == HARNESS_AFTER_EDI, "harness layout");
static_assert(offsetof(RegistersAfterCall, ebp) == HARNESS_AFTER_EBP, "harness layout");
static_assert(offsetof(RegistersAfterCall, espDelta) == HARNESS_AFTER_ESP_DELTA, "harness layout");

// Pushes words[wordCount - 1] .. words[0], loads the HARNESS_* registers, calls target and
// fills after. Not reentrant: it keeps its own frame in static storage during the call.
extern "C" void CallWithRegisterCheck(uint32_t target, const uint32_t* words, uint32_t wordCount,
                                      RegistersAfterCall* after);
#endif
