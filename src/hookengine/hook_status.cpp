// Texts of the hook engine's statuses.
#include "hookengine/hook_status.h"

namespace qelvorn {

const char* HookStatusText(HookStatus status) {
  switch (status) {
    case HookStatus::kDone:
      return "done";
    case HookStatus::kUnreadable:
      return "module or name unreadable";
    case HookStatus::kPatchFailed:
      return "a slot could not be patched";
    case HookStatus::kRestoreFailed:
      return "a slot could not be restored";
    case HookStatus::kRefused:
      return "memory not writable";
    case HookStatus::kEntriesExhausted:
      return "no HookEntry left";
    case HookStatus::kInvalidHandle:
      return "protection change or write failed";
    case HookStatus::kInvalidParameter:
      return "invalid parameter";
  }
  return "unknown status";
}

}  // namespace qelvorn
