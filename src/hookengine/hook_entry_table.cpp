// The HookEntry table's geometry, read from the addresses the processor folder's
// hook_entries.S gives its labels; and the folder's offsets checked against the structures
// its assembly reads and writes.
#include <cstddef>

#include "hookengine/processor.h"
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
static_assert(offsetof(CallFrame, floatArgs) == QEL_FRAME_FLOAT_ARGS, "CallFrame layout");

static_assert(offsetof(ApiHookRecord, argCount) == QEL_RECORD_ARG_COUNT, "record layout");
static_assert(offsetof(ApiHookRecord, hookEntry) == QEL_RECORD_HOOK_ENTRY, "record layout");
static_assert(offsetof(ApiHookRecord, realFunction) == QEL_RECORD_REAL_FUNCTION, "record layout");
static_assert(offsetof(ApiHookRecord, callerCleans) == QEL_RECORD_CALLER_CLEANS, "record layout");
static_assert(offsetof(ApiHookRecord, skipCall) == QEL_RECORD_SKIP_CALL, "record layout");

extern "C" const uint8_t HookEntryTable[];
extern "C" const uint8_t HookEntrySecond[];
extern "C" void HookDispatcher();

uintptr_t FirstHookEntry() {
  return reinterpret_cast<uintptr_t>(HookEntryTable);
}

uintptr_t HookEntrySize() {
  return reinterpret_cast<uintptr_t>(HookEntrySecond) - FirstHookEntry();
}

uint32_t HookEntryCount() {
  return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(&HookDispatcher) - FirstHookEntry()) /
                               HookEntrySize());
}

uintptr_t HookEntryRecordSlot(uintptr_t entry) {
  return entry + QEL_HOOK_ENTRY_RECORD_SLOT;
}

}  // namespace qelvorn
