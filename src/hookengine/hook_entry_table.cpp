// The HookEntry table's geometry, read from the addresses the processor folder's
// hook_entries.S gives its labels.
#include "hookengine/processor.h"

namespace qelvorn {

extern "C" const uint8_t HookEntryTable[];
extern "C" const uint8_t HookEntrySecond[];
extern "C" void HookDispatcher();

uintptr_t FirstHookEntry() {
  return reinterpret_cast<uintptr_t>(HookEntryTable);
}

uintptr_t HookEntrySize() {
  return reinterpret_cast<uintptr_t>(HookEntrySecond) - FirstHookEntry();
}

uint32_t HookEntryCount() {
  return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(&HookDispatcher) - FirstHookEntry()) /
                               HookEntrySize());
}

uintptr_t HookEntryRecordSlot(uintptr_t entry) {
  return entry + QEL_HOOK_ENTRY_RECORD_SLOT;
}

}  // namespace qelvorn
