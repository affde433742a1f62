// The HookEntry table's layout, shared by the assembly that lays it down and the C++ that
// binds its entries, so the two can never drift apart.
#pragma once

#define QEL_HOOK_ENTRY_COUNT 1001
#define QEL_HOOK_ENTRY_SIZE 20
// Where in an entry the bound ApiHookRecord's address is kept.
#define QEL_HOOK_ENTRY_RECORD_SLOT 16
