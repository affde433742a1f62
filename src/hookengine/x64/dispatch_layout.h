// The binary contract between the x64 assembly (hook_entries.S) and the C++: the HookEntry
// layout, and where the dispatcher finds the fields of the CallFrame it builds and of the
// ApiHookRecord it reads. The assembly checks the entry layout as it lays the entries
// down; hookengine/hook_entry_table.cpp checks the structure offsets.
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
#define QEL_FRAME_FLOAT_ARGS 48
#define QEL_FRAME_SIZE 56

#define QEL_RECORD_ARG_COUNT 24
#define QEL_RECORD_HOOK_ENTRY 32
#define QEL_RECORD_REAL_FUNCTION 40
#define QEL_RECORD_CALLER_CLEANS 52
#define QEL_RECORD_SKIP_CALL 53
