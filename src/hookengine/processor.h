// Where the hook engine meets its processor folder (hookengine/<processor>/, picked by
// src/CMakeLists.txt): the folder's assembly lays down the HookEntry table and the
// dispatcher, and its C++ defines the names below. The dispatcher builds a CallFrame
// (recording/call_frame.h), calls RecordPre and RecordPost (recording/recorder.h) around
// an exact copy of the call, and returns as the real function would have; the rest of the
// engine knows no register, offset or word width.
#pragma once

#include <cstdint>

// The folder's layout: the entry geometry and the offsets its assembly uses, checked
// against the structures when compiled with hook_entry_table.cpp.
#if defined(__i386__)
#include "hookengine/x86/dispatch_layout.h"
#elif defined(__x86_64__)
#include "hookengine/x64/dispatch_layout.h"
#else
#error "no hookengine/<processor>/ folder for this processor"
#endif

namespace qelvorn {

// The table as its code lays it down, read from the code addresses so the two can never
// differ: the first entry, the size of one entry, how many there are.
uintptr_t FirstHookEntry();
uintptr_t HookEntrySize();
uint32_t HookEntryCount();

// Where, in the entry starting at entry, its bound ApiHookRecord's address is kept.
uintptr_t HookEntryRecordSlot(uintptr_t entry);

}  // namespace qelvorn
