#include "support/import_slots.h"

namespace qeltest {

std::vector<ImportSlot> ImportSlots(HMODULE module) {
  std::vector<ImportSlot> slots;
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return slots;
  auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
  for (; descriptor->Name != 0; ++descriptor) {
    auto* lookup = reinterpret_cast<uintptr_t*>(base + descriptor->OriginalFirstThunk);
    auto* slot = reinterpret_cast<uintptr_t*>(base + descriptor->FirstThunk);
    for (; *lookup != 0; ++lookup, ++slot) {
      std::string name = IMAGE_SNAP_BY_ORDINAL(*lookup)
                             ? "#" + std::to_string(IMAGE_ORDINAL(*lookup))
                             : reinterpret_cast<char*>(base + *lookup + 2);
      slots.push_back({reinterpret_cast<char*>(base + descriptor->Name), name, slot});
    }
  }
  return slots;
}

uintptr_t* FindImportSlot(HMODULE module, const char* name) {
  for (const ImportSlot& slot : ImportSlots(module)) {
    if (slot.name == name) return slot.slot;
  }
  return nullptr;
}

}  // namespace qeltest
