// What a HookEntry's code must be, per processor folder (x86/, x64/ beside this file).
#pragma once

#include <cstdint>
#include <string>

extern const uintptr_t kEntrySize;

// "" when the entry at entry holds the code that enters dispatcher with its own record
// slot; else what differs.
std::string EntryCodeMismatch(uintptr_t entry, uintptr_t dispatcher);
