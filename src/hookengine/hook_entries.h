// The HookEntry trampolines (laid down by the processor folder, see processor.h): the
// table's geometry, the count of bound entries and the binding of one entry to its record.
#pragma once

#include <cstdint>

#include "hookengine/hook_status.h"
#include "hookengine/processor.h"

namespace qelvorn {

struct ApiHookRecord;

// Selectors of QueryHookEntryTable.
enum HookTableSelector : uint32_t {
  kHookTableFirstEntry = 1,
  kHookTableEntrySize = 2,
  kHookTableEntryCount = 3,
};

// Address of the first entry (1), entry size (2) or entry count (3), derived from the
// code addresses of the table; 0 for any other selector.
uintptr_t QueryHookEntryTable(uint32_t selector);

// Entries bound since the library was loaded; never reset. The next entry to bind is
// entry number boundCount. Only the api listing changes it, under the set-up lock.
extern uint32_t boundCount;

// The table's geometry by name (FirstHookEntry, HookEntrySize, HookEntryCount) comes from
// processor.h; QueryHookEntryTable answers the same through its numeric selector.

// Address of entry number `number` (from 0); 0 when the table has no such entry.
uintptr_t HookEntryAddress(uint32_t number);
// True for any address inside the table's entries.
bool IsInHookEntryTable(uintptr_t address);

// Writes record's address into the record slot (HookEntryRecordSlot) of the entry at
// entryAddress, through WriteProtectedPointer. Binding one record goes:
//   entry = HookEntryAddress(boundCount)   (0: no entry left)
//   WriteHookEntrySlot(entry, record)      (not kDone: hooking failed)
//   write the listing line, then ++boundCount and record->hookEntry = entry.
// Answers kInvalidParameter with last error 87 (SLE_ERROR) when entryAddress is not the
// start of an entry of the table or record is null; otherwise as WriteProtectedPointer.
HookStatus WriteHookEntrySlot(uintptr_t entryAddress, ApiHookRecord* record);

}  // namespace qelvorn
