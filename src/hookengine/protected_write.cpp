// Pointer writes into protected pages: lift the protection, write, restore.
#include "hookengine/protected_write.h"

#include <windows.h>

namespace qelvorn {

static_assert(static_cast<DWORD>(HookStatus::kInvalidHandle) == ERROR_INVALID_HANDLE, "numbers");
static_assert(static_cast<DWORD>(HookStatus::kInvalidParameter) == ERROR_INVALID_PARAMETER,
              "numbers");

namespace {

// The status whose number is the last error it sets.
HookStatus Fail(HookStatus status) {
  SetLastErrorEx(static_cast<DWORD>(status), SLE_ERROR);
  return status;
}

// The protection to lift a page to for the write; 0 when it is writable as it stands.
// Write-copy pages take the write into the process's private copy, so they need no
// change: the loader leaves import pages it did not write in that state.
bool WritableProtection(DWORD current, DWORD* lifted) {
  switch (current) {
    case PAGE_READONLY:
      *lifted = PAGE_READWRITE;
      return true;
    case PAGE_EXECUTE_READ:
      *lifted = PAGE_EXECUTE_READWRITE;
      return true;
    case PAGE_READWRITE:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_WRITECOPY:
      *lifted = 0;
      return true;
    default:
      return false;
  }
}

}  // namespace

HookStatus WriteProtectedPointer(void* target, uintptr_t value) {
  if (target == nullptr) return Fail(HookStatus::kInvalidParameter);

  MEMORY_BASIC_INFORMATION info;
  DWORD saved = GetLastError();
  if (VirtualQuery(target, &info, sizeof(info)) != sizeof(info)) {
    SetLastError(saved);
    return HookStatus::kRefused;
  }
  // Both ends must share one protection, or the restore would stamp the first page's
  // protection on the second.
  uintptr_t regionEnd = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
  if (reinterpret_cast<uintptr_t>(target) + sizeof(value) > regionEnd) return HookStatus::kRefused;

  DWORD lifted = 0;
  if (info.State != MEM_COMMIT || !WritableProtection(info.Protect, &lifted)) {
    return HookStatus::kRefused;
  }

  DWORD old = 0;
  if (lifted != 0 && !VirtualProtect(target, sizeof(value), lifted, &old)) {
    return Fail(HookStatus::kInvalidHandle);
  }
  bool written = WriteProcessMemory(GetCurrentProcess(), target, &value, sizeof(value), nullptr);
  if (lifted != 0) {
    DWORD ignored = 0;
    if (!VirtualProtect(target, sizeof(value), old, &ignored)) {
      return Fail(HookStatus::kInvalidHandle);
    }
  }
  if (!written) return Fail(HookStatus::kInvalidHandle);
  return HookStatus::kDone;
}

}  // namespace qelvorn
