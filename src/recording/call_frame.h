// The record the dispatcher keeps on its stack for one traced call. The offsets are
// shared with the assembly dispatcher, so both sides read them from this one header.
#pragma once

#define QEL_FRAME_RETURN_ADDRESS 0
#define QEL_FRAME_RESULT 4
#define QEL_FRAME_ARGS 8
#define QEL_FRAME_ARG_COUNT 12
#define QEL_FRAME_RECORD 16
#define QEL_FRAME_RESULT_HIGH 20
#define QEL_FRAME_SIZE 24

#ifndef __ASSEMBLER__
#include <cstddef>
#include <cstdint>

struct ApiHookRecord;

struct CallFrame {
  uint32_t returnAddress;  // where the traced call returns to in the caller
  uint32_t result;         // 0 until the real function returns; callbacks may replace it
  uint32_t* args;          // the caller's first argument word, on the caller's stack
  uint32_t argCount;       // argument words, copied from the record
  ApiHookRecord* record;   // the record bound to the entry that was entered
  uint32_t resultHigh;     // EDX after the real call: the high half of a 64-bit result
};

static_assert(sizeof(CallFrame) == QEL_FRAME_SIZE, "CallFrame layout");
static_assert(offsetof(CallFrame, returnAddress) == QEL_FRAME_RETURN_ADDRESS, "CallFrame layout");
static_assert(offsetof(CallFrame, result) == QEL_FRAME_RESULT, "CallFrame layout");
static_assert(offsetof(CallFrame, args) == QEL_FRAME_ARGS, "CallFrame layout");
static_assert(offsetof(CallFrame, argCount) == QEL_FRAME_ARG_COUNT, "CallFrame layout");
static_assert(offsetof(CallFrame, record) == QEL_FRAME_RECORD, "CallFrame layout");
static_assert(offsetof(CallFrame, resultHigh) == QEL_FRAME_RESULT_HIGH, "CallFrame layout");
#endif
