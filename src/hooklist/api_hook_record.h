// One traced function of one imported module. The dispatcher reads a few fields from
// assembly, so their offsets live here beside the structure that fixes them.
#pragma once

#define QEL_RECORD_ARG_COUNT 12
#define QEL_RECORD_HOOK_ENTRY 16
#define QEL_RECORD_REAL_FUNCTION 20
#define QEL_RECORD_CALLER_CLEANS 28
#define QEL_RECORD_SKIP_CALL 29

#ifndef __ASSEMBLER__
#include <cstddef>
#include <cstdint>

struct ApiHookRecord {
  const char* name;              // function name, exact case
  const char* preCallbackName;   // base + "_Pre", or null
  const char* postCallbackName;  // base + "_Post", or null
  uint32_t argCount;             // argument words; also the words copied and dropped
  void* hookEntry;               // bound HookEntry, null until the api listing binds it
  uint32_t realFunction;         // what the dispatcher calls; 0 until known
  int32_t ordinal;               // export ordinal, -1 when none
  uint8_t callerCleans;          // 1: the caller removes the arguments
  uint8_t skipCall;              // 1: the real function is not called
  char* argTypes;                // one type code per argument word
  const char* moduleName;        // name of the imported module whose block holds it
};

static_assert(offsetof(ApiHookRecord, argCount) == QEL_RECORD_ARG_COUNT, "record layout");
static_assert(offsetof(ApiHookRecord, hookEntry) == QEL_RECORD_HOOK_ENTRY, "record layout");
static_assert(offsetof(ApiHookRecord, realFunction) == QEL_RECORD_REAL_FUNCTION, "record layout");
static_assert(offsetof(ApiHookRecord, callerCleans) == QEL_RECORD_CALLER_CLEANS, "record layout");
static_assert(offsetof(ApiHookRecord, skipCall) == QEL_RECORD_SKIP_CALL, "record layout");
#endif
