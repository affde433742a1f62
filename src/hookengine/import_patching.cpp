// Patching import address tables, with the module listing that shows what was done.
#include "hookengine/import_patching.h"

#include <dbghelp.h>

#include <cstring>

#include "hookengine/hook_entries.h"
#include "hookengine/protected_write.h"
#include "hooklist/hook_list.h"
#include "tracelog/line_builder.h"
#include "tracelog/trace_log.h"

namespace {

constexpr char kModuleListingStart[] =
    "\r\n[module listing start *****************************************]";
constexpr char kModuleListingEnd[] = "\r\n[module listing end]\r\n";

// A resolved import points into some loaded image; a module loaded without resolving
// its imports holds name-table offsets there instead, which no call may ever jump to.
bool PointsIntoImage(uintptr_t address) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) == 0) return false;
  return info.State == MEM_COMMIT && info.Type == MEM_IMAGE;
}

HMODULE HandleFor(const LoaderHandles& handles, const char* name) {
  auto found = handles.find(name);
  return found == handles.end() ? nullptr : found->second;
}

bool AppendModulePrefix(const ModuleHookRecord* module, const char* imported) {
  return listingBuilder.AppendText(module->name) && listingBuilder.AppendText(", ") &&
         listingBuilder.AppendText(imported);
}

// The not-loaded and visited lines of one module; false when a line could not be written.
bool VisitModule(ModuleHookRecord* module, PatchDirection direction, const LoaderHandles& handles) {
  bool hook = direction == PatchDirection::kHook;
  if (hook) module->handle = HandleFor(handles, module->name);
  if (module->handle == nullptr) {
    return listingBuilder.Flush(true) && listingBuilder.AppendText(module->name) &&
           listingBuilder.AppendText(", not loaded") && listingBuilder.Flush(true);
  }
  if (hook) module->loadedAtSetUp = 1;
  if (!listingBuilder.Flush(true) || !listingBuilder.AppendText(module->name)) return false;
  if (hook && module->importsPatched == 1) {
    return listingBuilder.AppendText(", already done") && listingBuilder.Flush(true);
  }
  if (!hook && module->loadedAtSetUp == 1 && module->importsPatched == 0) {
    return listingBuilder.AppendText(", not ready") && listingBuilder.Flush(true);
  }
  if (!listingBuilder.Flush(true)) return false;
  return HookModule(module, direction, handles);
}

}  // namespace

OwnedLock listingLock;

ListingHold::ListingHold() : held_(EnterOwnedLock(listingLock)) {}

ListingHold::~ListingHold() {
  if (!held_) return;
  if (HeldDepth(listingLock) == 1) listingBuilder.Clear();
  LeaveOwnedLock(listingLock);
}

void CollectNames(const ModuleHookRecord* module, std::vector<const char*>& names) {
  names.push_back(module->name);
  for (const auto& entry : module->importedModules) names.push_back(entry.second.name);
}

LoaderHandles AskLoader(const std::vector<const char*>& names) {
  LoaderHandles handles;
  for (const char* name : names) handles.emplace(name, GetModuleHandleA(name));
  return handles;
}

bool ListModules(PatchDirection direction) {
  std::vector<const char*> names;
  {
    ListingHold hold;
    if (!hold.held()) return false;
    for (auto& entry : hookList.moduleTable) CollectNames(entry.second, names);
  }
  LoaderHandles handles = AskLoader(names);
  ListingHold hold;
  if (!hold.held() || !WriteLine(kModuleListingStart, true)) return false;
  for (auto& entry : hookList.moduleTable) {
    if (!VisitModule(entry.second, direction, handles)) return false;
  }
  return WriteLine(kModuleListingEnd, true);
}

void RestoreAllModules() {
  ListingHold hold;
  if (!hold.held()) return;
  for (auto& entry : hookList.moduleTable) {
    ModuleHookRecord* module = entry.second;
    if (module->importsPatched != 1 || module->handle == nullptr) continue;
    for (auto& imported : module->importedModules) {
      if (imported.second.handle != nullptr) {
        PatchImports(module, &imported.second, PatchDirection::kUnhook);
      }
    }
    module->importsPatched = 0;
  }
}

bool HookModule(ModuleHookRecord* module, PatchDirection direction, const LoaderHandles& handles) {
  bool hook = direction == PatchDirection::kHook;
  for (auto& entry : module->importedModules) {
    ImportedModuleRecord& imported = entry.second;
    if (imported.handle == nullptr) imported.handle = HandleFor(handles, imported.name);
    if (imported.handle == nullptr) {
      if (!AppendModulePrefix(module, imported.name) ||
          !listingBuilder.AppendText(", not loaded")) {
        return false;
      }
    } else {
      int32_t count = PatchImports(module, &imported, direction);
      if (!AppendModulePrefix(module, imported.name)) return false;
      if (count < 0) {
        if (!listingBuilder.AppendText(", NG")) return false;
      } else {
        if (!listingBuilder.AppendText(", ") || (!hook && !listingBuilder.AppendText("-")) ||
            !listingBuilder.AppendInt(count)) {
          return false;
        }
        module->importsPatched = hook ? 1 : 0;
      }
    }
    if (!listingBuilder.Flush(true)) return false;
  }
  return true;
}

int32_t PatchImports(ModuleHookRecord* module, ImportedModuleRecord* imported,
                     PatchDirection direction) {
  bool hook = direction == PatchDirection::kHook;
  auto* base = reinterpret_cast<BYTE*>(module->handle);
  if (IsBadReadPtr(base, 64) || IsBadStringPtrA(imported->name, 260)) return -1;
  IMAGE_IMPORT_DESCRIPTOR* descriptor = FindImportDescriptor(module->handle, imported->name);
  if (descriptor == nullptr || descriptor->OriginalFirstThunk == 0 || descriptor->FirstThunk == 0) {
    SetLastError(0);
    return 0;
  }
  // Both tables hold one pointer-wide entry per import (IMAGE_THUNK_DATA).
  auto* lookup = reinterpret_cast<const uintptr_t*>(base + descriptor->OriginalFirstThunk);
  auto* slot = reinterpret_cast<uintptr_t*>(base + descriptor->FirstThunk);
  int32_t count = 0;
  for (; *lookup != 0; ++lookup, ++slot) {
    ApiHookRecord* record = nullptr;
    if (*lookup & IMAGE_ORDINAL_FLAG) {
      record = FindApiByOrdinal(*imported, static_cast<uint32_t>(*lookup & ~IMAGE_ORDINAL_FLAG));
    } else {
      const char* name = reinterpret_cast<const char*>(base + *lookup + 2);
      if (*name == '\0') continue;
      record = FindApiByName(*imported, name);
    }
    if (record == nullptr) continue;
    if (hook) {
      if (record->hookEntry == nullptr) continue;
      // A slot that already holds one of our trampolines must never become a real
      // function, or a call would loop back into the dispatcher.
      if (!IsInHookEntryTable(*slot)) {
        if (!PointsIntoImage(*slot)) continue;
        record->realFunction = *slot;
      }
      if (!WriteProtectedPointer(slot, reinterpret_cast<uintptr_t>(record->hookEntry))) {
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
