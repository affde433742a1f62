// Geometry and binding of the HookEntry table laid down in hook_entries.S.
#include "hookengine/hook_entries.h"

#include <windows.h>

#include "hookengine/protected_write.h"

extern "C" const uint8_t HookEntryTable[];
extern "C" const uint8_t HookEntrySecond[];
extern "C" void HookDispatcher();

namespace {

constexpr uint32_t kRecordSlotOffset = 16;

uint32_t FirstEntry() {
  return reinterpret_cast<uint32_t>(HookEntryTable);
}
uint32_t EntrySize() {
  return reinterpret_cast<uint32_t>(HookEntrySecond) - FirstEntry();
}
uint32_t EntryCount() {
  return (reinterpret_cast<uint32_t>(&HookDispatcher) - FirstEntry()) / EntrySize();
}

}  // namespace

uint32_t boundCount = 0;

uint32_t QueryHookEntryTable(uint32_t selector) {
  switch (selector) {
    case kHookTableFirstEntry:
      return FirstEntry();
    case kHookTableEntrySize:
      return EntrySize();
    case kHookTableEntryCount:
      return EntryCount();
    default:
      return 0;
  }
}

uint32_t HookEntryAddress(uint32_t number) {
  if (number >= EntryCount()) return 0;
  return FirstEntry() + number * EntrySize();
}

bool IsInHookEntryTable(uint32_t address) {
  return address >= FirstEntry() && address - FirstEntry() < EntryCount() * EntrySize();
}

bool WriteHookEntrySlot(uint32_t entryAddress, ApiHookRecord* record) {
  // Only a real entry's slot may be written: any other address would land in live code.
  uint32_t offset = entryAddress - FirstEntry();
  if (record == nullptr || entryAddress < FirstEntry() || offset % EntrySize() != 0 ||
      offset / EntrySize() >= EntryCount()) {
    SetLastErrorEx(ERROR_INVALID_PARAMETER, SLE_ERROR);
    return false;
  }
  return WriteProtectedPointer(reinterpret_cast<void*>(entryAddress + kRecordSlotOffset),
                               reinterpret_cast<uint32_t>(record));
}
