// Binding functions to HookEntries and patching import address tables, with the api
// and module listings that show what was done.
#include "hookengine/import_patching.h"

#include <dbghelp.h>

#include <cstring>

#include "control/control_state.h"
#include "hookengine/hook_entries.h"
#include "hookengine/protected_write.h"
#include "hooklist/hook_list.h"
#include "tracelog/line_builder.h"
#include "tracelog/trace_log.h"

namespace {

struct ListingLock {
  CRITICAL_SECTION section;
  ListingLock() { InitializeCriticalSectionAndSpinCount(&section, 4000); }
  ~ListingLock() { DeleteCriticalSection(&section); }
} listingLock;

// A listing that stops half-way (a refused append, no HookEntry left) leaves its
// unwritten text behind; it is dropped on release so that no later line starts with it.
struct ListingHold {
  ListingHold() { EnterListingLock(); }
  ~ListingHold() {
    listingBuilder.Clear();
    LeaveListingLock();
  }
};

constexpr char kApiListingStart[] =
    "\r\n[api listing start *****************************************]\r\n";
constexpr char kApiListingEnd[] = "\r\n[api listing end]\r\n";
constexpr char kModuleListingStart[] =
    "\r\n[module listing start *****************************************]";
constexpr char kModuleListingEnd[] = "\r\n[module listing end]\r\n";
constexpr char kEntriesExhausted[] =
    "HookEntry \x82\xaa\x95s\x91\xab\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81"
    "B";

// Our own trampolines: a slot that already holds one must never become a real function,
// or a call would loop back into the dispatcher.
bool IsHookEntry(uint32_t address) {
  uint32_t first = QueryHookEntryTable(kHookTableFirstEntry);
  uint32_t size = QueryHookEntryTable(kHookTableEntrySize);
  uint32_t count = QueryHookEntryTable(kHookTableEntryCount);
  return address >= first && address < first + size * count;
}

bool AppendModulePrefix(const ModuleHookRecord* module, const char* imported) {
  return listingBuilder.AppendText(module->name) && listingBuilder.AppendText(", ") &&
         listingBuilder.AppendText(imported);
}

bool BindOne(ApiHookRecord* record) {
  if (!listingBuilder.AppendText(record->moduleName) || !listingBuilder.AppendText(", ") ||
      !listingBuilder.AppendText(record->name)) {
    return false;
  }
  if (record->hookEntry != nullptr) {
    return listingBuilder.AppendText(", dup") && listingBuilder.Flush(true);
  }
  if (boundCount >= controlState.entryCount) {
    MessageBoxA(nullptr, kEntriesExhausted, "Qelvorn", MB_OK);
    return false;
  }
  uint32_t entry = controlState.entryBase + boundCount * controlState.entrySize;
  if (!WriteHookEntrySlot(entry, record)) {
    SetLastErrorEx(ERROR_INVALID_HANDLE, SLE_ERROR);
    return false;
  }
  if (!listingBuilder.Flush(true)) return false;
  ++boundCount;
  record->hookEntry = reinterpret_cast<void*>(entry);
  return true;
}

// The not-loaded and visited lines of one module; false when a line could not be written.
bool VisitModule(ModuleHookRecord* module, bool hook) {
  if (hook) module->handle = GetModuleHandleA(module->name);
  if (module->handle == nullptr) {
    return listingBuilder.Flush(true) && listingBuilder.AppendText(module->name) &&
           listingBuilder.AppendText(", not loaded") && listingBuilder.Flush(true);
  }
  if (hook) module->loadedAtSetUp = 1;
  if (!listingBuilder.Flush(true) || !listingBuilder.AppendText(module->name)) return false;
  if (hook && module->done == 1) {
    return listingBuilder.AppendText(", already done") && listingBuilder.Flush(true);
  }
  if (!hook && module->loadedAtSetUp == 1 && module->done == 0) {
    return listingBuilder.AppendText(", not ready") && listingBuilder.Flush(true);
  }
  if (!listingBuilder.Flush(true)) return false;
  HookModule(module, hook);
  return true;
}

}  // namespace

void EnterListingLock() {
  EnterCriticalSection(&listingLock.section);
}
void LeaveListingLock() {
  LeaveCriticalSection(&listingLock.section);
}

bool ListApis() {
  ListingHold hold;
  if (!WriteLine(kApiListingStart, true)) return false;
  for (auto& entry : hookList.apiTable) {
    if (!BindOne(entry.second)) return false;
  }
  return WriteLine(kApiListingEnd, true);
}

bool ListModules(bool hook) {
  ListingHold hold;
  if (!WriteLine(kModuleListingStart, true)) return false;
  for (auto& entry : hookList.moduleTable) {
    if (!VisitModule(entry.second, hook)) return false;
  }
  return WriteLine(kModuleListingEnd, true);
}

bool HookModule(ModuleHookRecord* module, bool hook) {
  ListingHold hold;
  for (auto& entry : module->importedModules) {
    ImportedModuleRecord& imported = entry.second;
    if (imported.handle == nullptr) imported.handle = GetModuleHandleA(imported.name);
    if (imported.handle == nullptr) {
      if (!AppendModulePrefix(module, imported.name) ||
          !listingBuilder.AppendText(", not loaded")) {
        return false;
      }
    } else {
      int32_t count = PatchImports(module, &imported, hook);
      if (!AppendModulePrefix(module, imported.name)) return false;
      if (count < 0) {
        if (!listingBuilder.AppendText(", NG")) return false;
      } else {
        if (!listingBuilder.AppendText(", ") || (!hook && !listingBuilder.AppendText("-")) ||
            !listingBuilder.AppendInt(count)) {
          return false;
        }
        module->done = hook ? 1 : 0;
      }
    }
    if (!listingBuilder.Flush(true)) return false;
  }
  return true;
}

int32_t PatchImports(ModuleHookRecord* module, ImportedModuleRecord* imported, bool hook) {
  auto* base = reinterpret_cast<BYTE*>(module->handle);
  if (IsBadReadPtr(base, 64) || IsBadStringPtrA(imported->name, 260)) return -1;
  IMAGE_IMPORT_DESCRIPTOR* descriptor = FindImportDescriptor(module->handle, imported->name);
  if (descriptor == nullptr || descriptor->OriginalFirstThunk == 0 || descriptor->FirstThunk == 0) {
    SetLastError(0);
    return 0;
  }
  auto* lookup = reinterpret_cast<const uint32_t*>(base + descriptor->OriginalFirstThunk);
  auto* slot = reinterpret_cast<uint32_t*>(base + descriptor->FirstThunk);
  int32_t count = 0;
  for (; *lookup != 0; ++lookup, ++slot) {
    ApiHookRecord* record = nullptr;
    if (*lookup & IMAGE_ORDINAL_FLAG32) {
      record = FindApiByOrdinal(*imported, *lookup & ~IMAGE_ORDINAL_FLAG32);
    } else {
      const char* name = reinterpret_cast<const char*>(base + *lookup + 2);
      if (*name == '\0') continue;
      record = FindApiByName(*imported, name);
    }
    if (record == nullptr) continue;
    if (hook) {
      if (record->hookEntry == nullptr) continue;
      if (!IsHookEntry(*slot)) record->realFunction = *slot;
      if (!WriteProtectedPointer(slot, reinterpret_cast<uint32_t>(record->hookEntry))) {
        SetLastErrorEx(ERROR_INVALID_HANDLE, SLE_ERROR);
        return -2;
      }
    } else {
      if (record->realFunction == 0) continue;
      if (!WriteProtectedPointer(slot, record->realFunction)) {
        SetLastErrorEx(ERROR_INVALID_HANDLE, SLE_ERROR);
        return -3;
      }
    }
    ++count;
  }
  SetLastError(0);
  return count;
}

IMAGE_IMPORT_DESCRIPTOR* FindImportDescriptor(HMODULE base, const char* importedName) {
  if (base == nullptr || importedName == nullptr) {
    SetLastErrorEx(ERROR_INVALID_PARAMETER, SLE_ERROR);
    return nullptr;
  }
  ULONG size = 0;
  auto* descriptor = static_cast<IMAGE_IMPORT_DESCRIPTOR*>(
      ImageDirectoryEntryToData(base, TRUE, IMAGE_DIRECTORY_ENTRY_IMPORT, &size));
  if (descriptor == nullptr) return nullptr;
  auto* image = reinterpret_cast<const char*>(base);
  for (; descriptor->Name != 0; ++descriptor) {
    if (_stricmp(image + descriptor->Name, importedName) == 0) return descriptor;
  }
  return nullptr;
}
