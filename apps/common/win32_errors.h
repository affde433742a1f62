// Symbolic names of Win32 error codes, from a table generated out of the toolchain's
// winerror.h at build time.
#pragma once
#include <cstddef>
#include <cstdint>

namespace qel {

struct Win32ErrorEntry {
  uint32_t code;
  const char* name;
};

// Sorted by code; defined in the generated source.
extern const Win32ErrorEntry kWin32Errors[];
extern const size_t kWin32ErrorCount;

// The name of an error code, or nullptr when the table has none.
const char* Win32ErrorName(uint32_t code);

}  // namespace qel
