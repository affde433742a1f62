// One traced function of one imported module. The dispatcher reads a few fields from
// assembly; the processor folder's layout header (hookengine/<processor>/dispatch_layout.h)
// checks their offsets against this structure.
#pragma once

#include <cstdint>

namespace qelvorn {

struct ApiHookRecord {
  const char* name;              // function name, exact case
  const char* preCallbackName;   // base + "_Pre", or null
  const char* postCallbackName;  // base + "_Post", or null
  uint32_t argCount;             // argument words; also the words copied and dropped
  void* hookEntry;               // bound HookEntry, null until the api listing binds it
  uintptr_t realFunction;        // what the dispatcher calls; 0 until known
  int32_t ordinal;               // export ordinal, -1 when none
  uint8_t callerCleans;          // 1: the caller removes the arguments
  uint8_t skipCall;              // 1: the real function is not called
  uint8_t floatSlots;            // bit i: argument i (of the first four) is floating-point
  char* argTypes;                // one type code per argument word
  const char* moduleName;        // name of the imported module whose block holds it
};

}  // namespace qelvorn
