// The x86 HookEntry: lea edx, [own slot]; lea eax, [dispatcher]; jmp eax; two fillers.
#include "../entry_code.h"

#include <cstring>

const uintptr_t kEntrySize = 20;

std::string EntryCodeMismatch(uintptr_t entry, uintptr_t dispatcher) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(entry);
  auto word = [&](int at) {
    uint32_t value;
    std::memcpy(&value, bytes + at, sizeof value);
    return value;
  };
  if (bytes[0] != 0x8d || bytes[1] != 0x15) return "not lea edx";
  if (word(2) != entry + 16) return "edx is not the entry's slot";
  if (bytes[6] != 0x8d || bytes[7] != 0x05) return "not lea eax";
  if (word(8) != dispatcher) return "eax is not the dispatcher";
  if (bytes[12] != 0xff || bytes[13] != 0xe0) return "not jmp eax";
  if (bytes[14] != 0x90 || bytes[15] != 0x90) return "filler";
  return "";
}
