// The import address table slots of a loaded module, for the fixture hosts and probes that
// check where a module's calls go before, during and after tracing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qeltest {

struct ImportSlot {
  std::string imported;  // the name of the imported module, as the table spells it
  std::string name;      // "#" and the ordinal for an import by ordinal
  uintptr_t* slot;
};

// Every import slot of module, in table order.
std::vector<ImportSlot> ImportSlots(HMODULE module);
// The first slot through which module calls name, or null.
uintptr_t* FindImportSlot(HMODULE module, const char* name);

}  // namespace qeltest
