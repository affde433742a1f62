// Binding the hook list's functions to HookEntries, one at a time, in the order the api
// listing shows them (control/listings.cpp).
#pragma once

#include <cstdint>

#include "hookengine/hook_status.h"

namespace qelvorn {

struct ApiHookRecord;

// Writes record into the next free HookEntry and answers that entry in *entry: kDone;
// kEntriesExhausted when none is left; kInvalidHandle, with last error 6, when the
// entry's slot could not be written. The binding counts once CommitBinding has run: the
// listing writes the function's line in between.
HookStatus BindNextEntry(ApiHookRecord* record, uintptr_t* entry);
void CommitBinding(ApiHookRecord* record, uintptr_t entry);

}  // namespace qelvorn
