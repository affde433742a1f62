// Look-up of Win32 error names in the generated table.
#include "common/win32_errors.h"

#include <algorithm>

namespace qel {

const char* Win32ErrorName(uint32_t code) {
  const Win32ErrorEntry* end = kWin32Errors + kWin32ErrorCount;
  const Win32ErrorEntry* found = std::lower_bound(
      kWin32Errors, end, code, [](const Win32ErrorEntry& e, uint32_t c) { return e.code < c; });
  return found != end && found->code == code ? found->name : nullptr;
}

}  // namespace qel
