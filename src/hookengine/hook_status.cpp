// Texts of the hook engine's statuses.
#include "hookengine/hook_status.h"

namespace qelvorn {

namespace {

struct StatusText {
  HookStatus status;
  const char* text;
};

constexpr StatusText kStatusTexts[] = {
    {HookStatus::kDone, "done"},
    {HookStatus::kUnreadable, "module or name unreadable"},
    {HookStatus::kPatchFailed, "a slot could not be patched"},
    {HookStatus::kRestoreFailed, "a slot could not be restored"},
    {HookStatus::kRefused, "memory not writable"},
    {HookStatus::kEntriesExhausted, "no HookEntry left"},
    {HookStatus::kInvalidHandle, "protection change or write failed"},
    {HookStatus::kInvalidParameter, "invalid parameter"},
};

}  // namespace

const char* HookStatusText(HookStatus status) {
  for (const StatusText& row : kStatusTexts) {
    if (row.status == status) return row.text;
  }
  return "unknown status";
}

}  // namespace qelvorn
