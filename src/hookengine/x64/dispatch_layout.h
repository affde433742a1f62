// The binary contract between the x64 assembly (hook_entries.S) and the C++: the HookEntry
// layout, and where the dispatcher finds the fields of the CallFrame it builds and of the
// ApiHookRecord it reads. The assembly checks the entry layout as it lays the entries
// down; the C++ checks the structure offsets below (compiled with hook_entry_table.cpp).
#pragma once

#define QEL_HOOK_ENTRY_COUNT 1001
#define QEL_HOOK_ENTRY_SIZE 24
// Where in an entry the bound ApiHookRecord's address is kept.
#define QEL_HOOK_ENTRY_RECORD_SLOT 16

#define QEL_FRAME_RETURN_ADDRESS 0
#define QEL_FRAME_RESULT 8
#define QEL_FRAME_ARGS 16
#define QEL_FRAME_ARG_COUNT 24
#define QEL_FRAME_RECORD 32
#define QEL_FRAME_RESULT_HIGH 40
#define QEL_FRAME_SIZE 48

#define QEL_RECORD_ARG_COUNT 24
#define QEL_RECORD_HOOK_ENTRY 32
#define QEL_RECORD_REAL_FUNCTION 40
#define QEL_RECORD_CALLER_CLEANS 52
#define QEL_RECORD_SKIP_CALL 53

#ifndef __ASSEMBLER__
#include <cstddef>

#include "hooklist/api_hook_record.h"
#include "recording/call_frame.h"

namespace qelvorn {

static_assert(sizeof(CallFrame) == QEL_FRAME_SIZE, "CallFrame layout");
static_assert(offsetof(CallFrame, returnAddress) == QEL_FRAME_RETURN_ADDRESS, "CallFrame layout");
static_assert(offsetof(CallFrame, result) == QEL_FRAME_RESULT, "CallFrame layout");
static_assert(offsetof(CallFrame, args) == QEL_FRAME_ARGS, "CallFrame layout");
static_assert(offsetof(CallFrame, argCount) == QEL_FRAME_ARG_COUNT, "CallFrame layout");
static_assert(offsetof(CallFrame, record) == QEL_FRAME_RECORD, "CallFrame layout");
static_assert(offsetof(CallFrame, resultHigh) == QEL_FRAME_RESULT_HIGH, "CallFrame layout");

static_assert(offsetof(ApiHookRecord, argCount) == QEL_RECORD_ARG_COUNT, "record layout");
static_assert(offsetof(ApiHookRecord, hookEntry) == QEL_RECORD_HOOK_ENTRY, "record layout");
static_assert(offsetof(ApiHookRecord, realFunction) == QEL_RECORD_REAL_FUNCTION, "record layout");
static_assert(offsetof(ApiHookRecord, callerCleans) == QEL_RECORD_CALLER_CLEANS, "record layout");
static_assert(offsetof(ApiHookRecord, skipCall) == QEL_RECORD_SKIP_CALL, "record layout");

}  // namespace qelvorn
#endif
