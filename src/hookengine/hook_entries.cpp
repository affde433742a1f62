// Geometry and binding of the HookEntry table laid down in hook_entries.S.
#include "hookengine/hook_entries.h"

#include <windows.h>

#include "hookengine/hook_entry_layout.h"
#include "hookengine/protected_write.h"

extern "C" const uint8_t HookEntryTable[];
extern "C" const uint8_t HookEntrySecond[];
extern "C" void HookDispatcher();

uint32_t FirstHookEntry() {
  return reinterpret_cast<uint32_t>(HookEntryTable);
}
uint32_t HookEntrySize() {
  return reinterpret_cast<uint32_t>(HookEntrySecond) - FirstHookEntry();
}
uint32_t HookEntryCount() {
  return (reinterpret_cast<uint32_t>(&HookDispatcher) - FirstHookEntry()) / HookEntrySize();
}

uint32_t boundCount = 0;

uint32_t QueryHookEntryTable(uint32_t selector) {
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

uint32_t HookEntryAddress(uint32_t number) {
  if (number >= HookEntryCount()) return 0;
  return FirstHookEntry() + number * HookEntrySize();
}

bool IsInHookEntryTable(uint32_t address) {
  return address >= FirstHookEntry() &&
         address - FirstHookEntry() < HookEntryCount() * HookEntrySize();
}

bool WriteHookEntrySlot(uint32_t entryAddress, ApiHookRecord* record) {
  // Only a real entry's slot may be written: any other address would land in live code.
  uint32_t offset = entryAddress - FirstHookEntry();
  if (record == nullptr || entryAddress < FirstHookEntry() || offset % HookEntrySize() != 0 ||
      offset / HookEntrySize() >= HookEntryCount()) {
    SetLastErrorEx(ERROR_INVALID_PARAMETER, SLE_ERROR);
    return false;
  }
  return WriteProtectedPointer(reinterpret_cast<void*>(entryAddress + QEL_HOOK_ENTRY_RECORD_SLOT),
                               reinterpret_cast<uint32_t>(record));
}
