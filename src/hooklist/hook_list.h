// The in-memory hook list: what is traced (functions per imported module), where (the
// importing modules whose import tables are patched), and the pool that holds the names.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>

#include "hooklist/api_hook_record.h"
#include "base/block_pool.h"

namespace qelvorn {

// Byte-wise order as unsigned bytes, shorter first when one name is a prefix of the other.
struct ByteOrder {
  bool operator()(const char* a, const char* b) const;
};

// The order of _stricmp in the C locale: A to Z compare as their lower-case forms, every
// other byte by its unsigned value. Fixed here so a host that changes its locale cannot
// reorder keys under a live map.
struct NoCaseOrder {
  bool operator()(const char* a, const char* b) const;
};

// One imported module (an "imported_module" block) with its traced functions.
struct ImportedModuleRecord {
  const char* name = nullptr;  // in the pool
  HMODULE handle = nullptr;
  std::map<const char*, ApiHookRecord*, ByteOrder> apisByName;
  std::map<int32_t, ApiHookRecord*> apisByOrdinal;  // only ordinals of 0 or more
};

// One importing module (an "import_module" block): a heap object owned by moduleTable.
// Its importedModules are copies with their own handle and maps; the maps point at the
// same ApiHookRecords as the originals.
struct ModuleHookRecord {
  const char* name = nullptr;  // in the pool
  HMODULE handle = nullptr;
  std::map<const char*, ImportedModuleRecord, NoCaseOrder> importedModules;
  uint8_t loadedAtSetUp = 0;
  uint8_t importsPatched = 0;  // 1 while its import slots point at HookEntries
};

// The one hook list of the process. Keys point at the records' own name strings.
struct HookList {
  // First member, so it dies last: every key, name and ApiHookRecord lives in it.
  BlockPool pool;
  std::map<const char*, ImportedModuleRecord, NoCaseOrder> importedModuleTable;
  std::map<const char*, ModuleHookRecord*, NoCaseOrder> moduleTable;  // owns the records
  std::map<const char*, ApiHookRecord*, ByteOrder> apiTable;

  HookList() = default;
  ~HookList();
  HookList(const HookList&) = delete;
  HookList& operator=(const HookList&) = delete;
};

extern HookList& hookList;

// A record in pool with every field zero, ordinal -1, a copy of name and room for
// typeRoom type codes; null when the name or the room does not fit one pool block.
ApiHookRecord* NewApiHookRecord(BlockPool& pool, const char* name, uint32_t typeRoom);
// A record with a pool copy of name; its name is null when the name does not fit.
ImportedModuleRecord NewImportedModuleRecord(BlockPool& pool, const char* name);
// A new heap record with a pool copy of name; null when the name does not fit.
ModuleHookRecord* NewModuleHookRecord(BlockPool& pool, const char* name);

// Enters record under its name unless that name is there (exact case), and, independently,
// under its ordinal when that is 0 or more and not there yet.
void AddApi(ImportedModuleRecord& module, ApiHookRecord* record);
// Enters a copy of imported under its name unless that name is there (ignoring case).
void AddImportedModule(ModuleHookRecord& module, const ImportedModuleRecord& imported);

// Lookups: each answers null when nothing matches (or name is null); no allocation and no
// lock, so they may run inside traced calls. Names must be readable zero-terminated texts.

// A traced function by its exact name in list.apiTable (GetProcAddress by name).
ApiHookRecord* FindApi(const HookList& list, const char* name);
// An import by name: the exact name in module.apisByName.
ApiHookRecord* FindApiByName(const ImportedModuleRecord& module, const char* name);
// An import by ordinal: pass the thunk value with its ordinal flag cleared.
ApiHookRecord* FindApiByOrdinal(const ImportedModuleRecord& module, uint32_t ordinal);
// An importing module by name in list.moduleTable, ignoring case.
ModuleHookRecord* FindModule(const HookList& list, const char* name);
// An imported module by name in list.importedModuleTable, ignoring case.
ImportedModuleRecord* FindImportedModule(HookList& list, const char* name);

}  // namespace qelvorn
