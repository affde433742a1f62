// One pointer-sized write into memory that may be read-only or executable: HookEntry
// record slots and import address table slots.
#pragma once

#include <cstdint>

#include "hookengine/hook_status.h"

namespace qelvorn {

// Writes value at target when its page is read-only, execute-read, read-write,
// execute-read-write or write-copy, lifting the protection for the write where needed
// and putting it back afterwards. Answers kRefused without touching the last error when
// the protection is any other (no access, guard or no-cache pages, free memory) or the
// pointer's bytes straddle two regions; kInvalidParameter, with last error 87 (SLE_ERROR),
// for a null target; kInvalidHandle, with last error 6, when the protection change, the
// write or the restore fails.
HookStatus WriteProtectedPointer(void* target, uintptr_t value);

}  // namespace qelvorn
