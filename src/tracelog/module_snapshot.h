// The loaded modules of the process from a tool-help walk: looked up by the recorders
// for a call's return address, and listed in the log header and at clean-up.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

namespace qelvorn {

struct ModuleInfo {
  uintptr_t base;  // first byte of the image
  uint32_t size;   // size of the image in bytes
  HMODULE handle;
  const char* name;  // file name, in the snapshots' pool
  const char* path;  // full path of the file, in the snapshots' pool
  // " <name>", the calling-module column of a call line, made once per walk so that a
  // line appends it as one piece
  const char* column;
  uint32_t columnLength;
};

struct ModuleNameLess {
  bool operator()(const char* left, const char* right) const;  // _stricmp order
};

// A sorted copy of byAddress that is never changed once published, so lookups need no
// lock: a later walk publishes a new one and keeps the old one alive until unload.
struct ModuleTable {
  const ModuleInfo* const* entries;
  uint32_t count;
  const ModuleTable* retired;  // the table this one replaced
};

struct ModuleSnapshot {
  std::map<const char*, ModuleInfo*, ModuleNameLess> byName;
  std::vector<ModuleInfo*> byAddress;  // ascending base

  ModuleSnapshot() = default;
  ModuleSnapshot(const ModuleSnapshot&) = delete;
  ModuleSnapshot& operator=(const ModuleSnapshot&) = delete;
  ~ModuleSnapshot();

  // Empties both members and walks the process's modules again (records are carved from
  // the snapshots' pool, which only grows). False when the walk failed or met a second
  // module of an already present name; what was gathered before stays, sorted by base.
  // Runs only inside set-up and clean-up.
  bool Take();
  // The module whose range holds address, from base + 1 to base + size inclusive; null
  // for none. Safe on any thread at any time, also while a later set-up runs Take: it
  // reads only the table that the last completed Take published.
  const ModuleInfo* FindByAddress(uintptr_t address) const;
  // Makes the current byAddress, which must be in ascending base order, the table that
  // FindByAddress searches. Take ends with it; false when memory ran out.
  bool Publish();

 private:
  bool Walk();
  std::atomic<const ModuleTable*> table{nullptr};
};

// The module-wide snapshot: taken at set-up, read by the recorders.
extern ModuleSnapshot& moduleSnapshot;

// The listing through headerBuilder, forced: the title, then one line per module of
// byAddress. Runs only inside set-up and clean-up.
bool WriteModuleListing(const ModuleSnapshot& snapshot);

}  // namespace qelvorn
