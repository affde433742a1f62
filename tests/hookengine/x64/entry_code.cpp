// The x64 HookEntry: lea r11, [rip + own slot]; jmp rel32 dispatcher; four fillers.
#include "../entry_code.h"

#include <cstring>

const uintptr_t kEntrySize = 24;

std::string EntryCodeMismatch(uintptr_t entry, uintptr_t dispatcher) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(entry);
  auto offset = [&](int at) {
    int32_t value;
    std::memcpy(&value, bytes + at, sizeof value);
    return static_cast<intptr_t>(value);
  };
  if (bytes[0] != 0x4c || bytes[1] != 0x8d || bytes[2] != 0x1d) return "not lea r11";
  if (entry + 7 + offset(3) != entry + 16) return "r11 is not the entry's slot";
  if (bytes[7] != 0xe9) return "not jmp rel32";
  if (entry + 12 + offset(8) != dispatcher) return "the jump does not reach the dispatcher";
  for (int at = 12; at < 16; ++at) {
    if (bytes[at] != 0x90) return "filler";
  }
  return "";
}
