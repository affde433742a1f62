// Addressing and binding the HookEntry table the processor folder lays down.
#include "hookengine/hook_entries.h"

#include <windows.h>

#include "hookengine/protected_write.h"

namespace qelvorn {

uint32_t boundCount = 0;

uintptr_t QueryHookEntryTable(uint32_t selector) {
  switch (selector) {
    case kHookTableFirstEntry:
      return FirstHookEntry();
    case kHookTableEntrySize:
      return HookEntrySize();
    case kHookTableEntryCount:
      return HookEntryCount();
    default:
      return 0;
  }
}

uintptr_t HookEntryAddress(uint32_t number) {
  if (number >= HookEntryCount()) return 0;
  return FirstHookEntry() + number * HookEntrySize();
}

bool IsInHookEntryTable(uintptr_t address) {
  return address >= FirstHookEntry() &&
         address - FirstHookEntry() < HookEntryCount() * HookEntrySize();
}

HookStatus WriteHookEntrySlot(uintptr_t entryAddress, ApiHookRecord* record) {
  // Only a real entry's slot may be written: any other address would land in live code.
  uintptr_t offset = entryAddress - FirstHookEntry();
  if (record == nullptr || entryAddress < FirstHookEntry() || offset % HookEntrySize() != 0 ||
      offset / HookEntrySize() >= HookEntryCount()) {
    SetLastErrorEx(ERROR_INVALID_PARAMETER, SLE_ERROR);
    return HookStatus::kInvalidParameter;
  }
  return WriteProtectedPointer(reinterpret_cast<void*>(HookEntryRecordSlot(entryAddress)),
                               reinterpret_cast<uintptr_t>(record));
}

}  // namespace qelvorn
