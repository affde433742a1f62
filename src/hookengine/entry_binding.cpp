// Binding the hook list's functions to HookEntries, in name order, with the api listing
// that shows which entry each one took.
#include "hookengine/entry_binding.h"

#include "hookengine/hook_entries.h"
#include "hookengine/import_patching.h"
#include "hooklist/hook_list.h"
#include "tracelog/line_builder.h"
#include "tracelog/trace_log.h"

namespace {

constexpr char kApiListingStart[] =
    "\r\n[api listing start *****************************************]\r\n";
constexpr char kApiListingEnd[] = "\r\n[api listing end]\r\n";

// Set when HookEntries ran out during binding; the box is shown once the listing lock
// is released, since showing it may load modules and so take the loader lock.
bool entriesExhausted = false;

bool BindOne(ApiHookRecord* record) {
  if (!listingBuilder.AppendText(record->moduleName) || !listingBuilder.AppendText(", ") ||
      !listingBuilder.AppendText(record->name)) {
    return false;
  }
  if (record->hookEntry != nullptr) {
    return listingBuilder.AppendText(", dup") && listingBuilder.Flush(true);
  }
  uintptr_t entry = HookEntryAddress(boundCount);
  if (entry == 0) {
    entriesExhausted = true;
    return false;
  }
  if (!WriteHookEntrySlot(entry, record)) {
    SetLastErrorEx(ERROR_INVALID_HANDLE, SLE_ERROR);
    return false;
  }
  if (!listingBuilder.Flush(true)) return false;
  ++boundCount;
  record->hookEntry = reinterpret_cast<void*>(entry);
  return true;
}

}  // namespace

bool BindAndListApis() {
  bool listed = false;
  {
    ListingHold hold;
    entriesExhausted = false;
    if (!hold.held() || !WriteLine(kApiListingStart, true)) return false;
    listed = true;
    for (auto& entry : hookList.apiTable) {
      if (!BindOne(entry.second)) {
        listed = false;
        break;
      }
    }
    if (listed) listed = WriteLine(kApiListingEnd, true);
  }
  if (entriesExhausted) MessageBoxA(nullptr, kEntriesExhausted, "Qelvorn", MB_OK);
  return listed;
}
