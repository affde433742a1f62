// Patching import address tables, answering what was done.
#include "hookengine/import_patching.h"

#include <dbghelp.h>

#include <cstring>

#include "hookengine/hook_entries.h"
#include "hookengine/protected_write.h"
#include "hooklist/hook_list.h"
#include "hooklist/hook_list_lock.h"

namespace qelvorn {

namespace {

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

}  // namespace

void CollectNames(const ModuleHookRecord* module, std::vector<const char*>& names) {
  names.push_back(module->name);
  for (const auto& entry : module->importedModules) names.push_back(entry.second.name);
}

LoaderHandles AskLoader(const std::vector<const char*>& names) {
  LoaderHandles handles;
  for (const char* name : names) handles.emplace(name, GetModuleHandleA(name));
  return handles;
}

ModuleLine VisitModule(ModuleHookRecord* module, PatchDirection direction,
                       const LoaderHandles& handles) {
  bool hook = direction == PatchDirection::kHook;
  if (hook) module->handle = HandleFor(handles, module->name);
  if (module->handle == nullptr) return ModuleLine::kNotLoaded;
  if (hook) module->loadedAtSetUp = 1;
  if (hook && module->importsPatched == 1) return ModuleLine::kAlreadyDone;
  if (!hook && module->loadedAtSetUp == 1 && module->importsPatched == 0) {
    return ModuleLine::kNotReady;
  }
  return ModuleLine::kPatching;
}

void RestoreAllModules() {
  ListingHold hold;
  if (!hold.held()) return;
  for (auto& entry : hookList.moduleTable) {
    ModuleHookRecord* module = entry.second;
    if (module->importsPatched != 1 || module->handle == nullptr) continue;
    for (auto& imported : module->importedModules) {
      if (imported.second.handle != nullptr) {
        int32_t count = 0;
        PatchImports(module, &imported.second, PatchDirection::kUnhook, &count);
      }
    }
    module->importsPatched = 0;
  }
}

ImportOutcome PatchImportedModule(ModuleHookRecord* module, ImportedModuleRecord* imported,
                                  PatchDirection direction, const LoaderHandles& handles) {
  bool hook = direction == PatchDirection::kHook;
  if (imported->handle == nullptr) imported->handle = HandleFor(handles, imported->name);
  if (imported->handle == nullptr) return {ImportLine::kNotLoaded, 0};
  int32_t count = 0;
  if (PatchImports(module, imported, direction, &count) != HookStatus::kDone) {
    return {ImportLine::kFailed, 0};
  }
  module->importsPatched = hook ? 1 : 0;
  return {hook ? ImportLine::kHooked : ImportLine::kRestored, count};
}

HookStatus PatchImports(ModuleHookRecord* module, ImportedModuleRecord* imported,
                        PatchDirection direction, int32_t* count) {
  *count = 0;
  bool hook = direction == PatchDirection::kHook;
  auto* base = reinterpret_cast<BYTE*>(module->handle);
  if (IsBadReadPtr(base, 64) || IsBadStringPtrA(imported->name, 260)) {
    return HookStatus::kUnreadable;
  }
  IMAGE_IMPORT_DESCRIPTOR* descriptor = FindImportDescriptor(module->handle, imported->name);
  if (descriptor == nullptr || descriptor->OriginalFirstThunk == 0 || descriptor->FirstThunk == 0) {
    SetLastError(0);
    return HookStatus::kDone;
  }
  // Both tables hold one IMAGE_THUNK_DATA per import, of the build's own width: 4 bytes
  // in a PE32 image, 8 in a PE32+ one, whose ordinal flag is the top bit of the 8.
  static_assert(sizeof(IMAGE_THUNK_DATA) == sizeof(uintptr_t), "thunks are pointer-wide");
  auto* lookup = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
  auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
  for (; lookup->u1.AddressOfData != 0; ++lookup, ++slot) {
    ApiHookRecord* record = nullptr;
    if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal)) {
      // Bits a PE32+ thunk must leave clear would otherwise be cut off into a valid ordinal.
      uintptr_t ordinal = lookup->u1.Ordinal & ~IMAGE_ORDINAL_FLAG;
      if (ordinal <= 0x7fffffffu) {
        record = FindApiByOrdinal(*imported, static_cast<uint32_t>(ordinal));
      }
    } else {
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + lookup->u1.AddressOfData);
      const char* name = reinterpret_cast<const char*>(byName->Name);
      if (*name == '\0') continue;
      record = FindApiByName(*imported, name);
    }
    if (record == nullptr) continue;
    if (hook) {
      if (record->hookEntry == nullptr) continue;
      // A slot that already holds one of our trampolines must never become a real
      // function, or a call would loop back into the dispatcher.
      uintptr_t current = slot->u1.Function;
      if (!IsInHookEntryTable(current)) {
        if (!PointsIntoImage(current)) continue;
        record->realFunction = current;
      }
      if (WriteProtectedPointer(&slot->u1.Function, reinterpret_cast<uintptr_t>(
                                                        record->hookEntry)) != HookStatus::kDone) {
        SetLastErrorEx(ERROR_INVALID_HANDLE, SLE_ERROR);
        return HookStatus::kPatchFailed;
      }
    } else {
      if (record->realFunction == 0) continue;
      if (WriteProtectedPointer(&slot->u1.Function, record->realFunction) != HookStatus::kDone) {
        SetLastErrorEx(ERROR_INVALID_HANDLE, SLE_ERROR);
        return HookStatus::kRestoreFailed;
      }
    }
    ++*count;
  }
  SetLastError(0);
  return HookStatus::kDone;
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

}  // namespace qelvorn
