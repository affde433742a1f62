// The record the dispatcher keeps on its stack for one traced call. The processor
// folder's assembly builds it; its layout header (hookengine/<processor>/dispatch_layout.h)
// checks every offset it uses against this structure.
#pragma once

#include <cstdint>

#include "hooklist/type_codes.h"

namespace qelvorn {

struct ApiHookRecord;

struct CallFrame {
  uintptr_t returnAddress;  // where the traced call returns to in the caller
  uintptr_t result;         // 0 until the real function returns; callbacks may replace it
  ArgWord* args;            // the caller's first argument word, on the caller's stack
  uint32_t argCount;        // argument words, copied from the record
  ApiHookRecord* record;    // the record bound to the entry that was entered
  uintptr_t resultHigh;     // the high half of a result two words wide
  // Where the dispatcher kept the caller's XMM0-XMM3, 16 bytes apart: the first four
  // floating-point arguments of an x64 call travel there. Null where arguments are all on
  // the stack (x86).
  const uint8_t* floatArgs = nullptr;
};

// A DWORD or BOOL argument or result: the low 32 bits of its word, as an x64 caller or
// callee leaves the bits above them undefined.
inline uint32_t Low32(ArgWord word) {
  return static_cast<uint32_t>(word);
}

}  // namespace qelvorn
