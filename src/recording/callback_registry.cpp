// The callback registry: names to callbacks, filled by the layer that wires the system.
#include "recording/callback_registry.h"

#include <cstdint>
#include <cstring>

namespace qelvorn {

namespace {

// Open addressing over a table far larger than the twenty-odd callbacks, so that a traced
// call's look-up costs one hash of the name and, as a rule, one comparison.
constexpr uint32_t kSlots = 256;

struct Slot {
  const char* name;  // a copy, never freed
  Callback callback;
};

// Never destroyed: traced calls made by DLLs detached after this one at process exit
// still look their callbacks up.
Slot slots[kSlots];

uint32_t HashOf(const char* name) {
  uint32_t hash = 2166136261u;
  for (const unsigned char* at = reinterpret_cast<const unsigned char*>(name); *at != 0; ++at) {
    hash = (hash ^ *at) * 16777619u;
  }
  return hash;
}

// The slot that holds name, or the free slot where it belongs; null when the table is full.
Slot* SlotFor(const char* name) {
  uint32_t start = HashOf(name);
  for (uint32_t step = 0; step < kSlots; ++step) {
    Slot& slot = slots[(start + step) % kSlots];
    if (slot.name == nullptr || strcmp(slot.name, name) == 0) return &slot;
  }
  return nullptr;
}

}  // namespace

void RegisterCallback(const char* name, Callback callback) {
  Slot* slot = SlotFor(name);
  if (slot == nullptr || slot->name != nullptr) return;
  size_t size = strlen(name) + 1;
  char* copy = new char[size];
  memcpy(copy, name, size);
  slot->callback = callback;
  slot->name = copy;
}

Callback FindCallback(const char* name) {
  if (name == nullptr) return nullptr;
  const Slot* slot = SlotFor(name);
  return slot == nullptr || slot->name == nullptr ? nullptr : slot->callback;
}

}  // namespace qelvorn
