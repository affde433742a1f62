// The api listing (which entry each function took) and the module listing (which import
// slots were patched), written from the hook engine's answers.
#include "control/listings.h"

#include <windows.h>

#include "hookengine/entry_binding.h"
#include "hookengine/module_hooking.h"
#include "hooklist/hook_list.h"
#include "hooklist/hook_list_lock.h"
#include "tracelog/listing_lines.h"

namespace qelvorn {

namespace {

// Set when HookEntries ran out during binding; the box is shown once the listing lock
// is released, since showing it may load modules and so take the loader lock.
bool entriesExhausted = false;

// The function's line is built before it is bound and written before the binding
// counts, so a binding the log cannot show is never counted.
bool BindOne(ApiHookRecord* record) {
  if (!BeginApiLine(record->moduleName, record->name)) return false;
  if (record->hookEntry != nullptr) return EndApiLine(true);
  uintptr_t entry = 0;
  HookStatus status = BindNextEntry(record, &entry);
  if (status != HookStatus::kDone) {
    entriesExhausted = status == HookStatus::kEntriesExhausted;
    DropApiLine();
    return false;
  }
  if (!EndApiLine(false)) return false;
  CommitBinding(record, entry);
  return true;
}

bool ListModule(ModuleHookRecord* module, PatchDirection direction, const LoaderHandles& handles) {
  ModuleLine line = VisitModule(module, direction, handles);
  if (!WriteModuleLine(module->name, line)) return false;
  return line != ModuleLine::kPatching || HookModule(module, direction, handles);
}

}  // namespace

bool BindAndListApis() {
  bool listed = false;
  {
    ListingHold hold;
    entriesExhausted = false;
    if (!hold.held() || !WriteApiListingStart()) return false;
    listed = true;
    for (auto& entry : hookList.apiTable) {
      if (!BindOne(entry.second)) {
        listed = false;
        break;
      }
    }
    if (listed) listed = WriteApiListingEnd();
  }
  if (entriesExhausted) MessageBoxA(nullptr, kEntriesExhausted, "Qelvorn", MB_OK);
  return listed;
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
  if (!hold.held() || !WriteModuleListingStart()) return false;
  for (auto& entry : hookList.moduleTable) {
    if (!ListModule(entry.second, direction, handles)) return false;
  }
  return WriteModuleListingEnd();
}

}  // namespace qelvorn
