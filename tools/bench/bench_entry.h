// For the benchmarks built on the library's layers: a record bound to the next free
// HookEntry, as the api listing would bind it.
#pragma once

#include <cstdint>

#include "hookengine/hook_entries.h"
#include "hooklist/api_hook_record.h"

// A stdcall record with no callbacks, living as long as the process.
inline qelvorn::ApiHookRecord* BenchRecord(const char* name, const char* argTypes,
                                           uint32_t argCount, const void* realFunction) {
  auto* record = new qelvorn::ApiHookRecord{};
  record->name = name;
  record->argCount = argCount;
  record->argTypes = const_cast<char*>(argTypes);
  record->realFunction = reinterpret_cast<uintptr_t>(realFunction);
  record->ordinal = -1;
  return record;
}

// Binds record to the next free entry; answers the entry, or 0 when none could be bound.
inline uintptr_t BindBenchEntry(qelvorn::ApiHookRecord* record) {
  uintptr_t entry = qelvorn::HookEntryAddress(qelvorn::boundCount);
  if (entry == 0 || qelvorn::WriteHookEntrySlot(entry, record) != qelvorn::HookStatus::kDone)
    return 0;
  ++qelvorn::boundCount;
  record->hookEntry = reinterpret_cast<void*>(entry);
  return entry;
}
