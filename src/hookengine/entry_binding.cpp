// Binding one function to the next free HookEntry.
#include "hookengine/entry_binding.h"

#include <windows.h>

#include "hookengine/hook_entries.h"
#include "hooklist/api_hook_record.h"

namespace qelvorn {

HookStatus BindNextEntry(ApiHookRecord* record, uintptr_t* entry) {
  *entry = HookEntryAddress(boundCount);
  if (*entry == 0) return HookStatus::kEntriesExhausted;
  if (WriteHookEntrySlot(*entry, record) != HookStatus::kDone) {
    SetLastErrorEx(ERROR_INVALID_HANDLE, SLE_ERROR);
    return HookStatus::kInvalidHandle;
  }
  return HookStatus::kDone;
}

void CommitBinding(ApiHookRecord* record, uintptr_t entry) {
  ++boundCount;
  record->hookEntry = reinterpret_cast<void*>(entry);
}

}  // namespace qelvorn
