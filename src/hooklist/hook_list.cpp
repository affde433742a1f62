// The hook list tables: record construction, insert-if-absent entry and the lookups.
#include "hooklist/hook_list.h"

#include <cstring>
#include <new>

namespace qelvorn {

// Never destroyed: HookEntries patched into DLLs that detach after this library at
// process exit still lead to its records.
HookList& hookList = *new HookList;

bool ByteOrder::operator()(const char* a, const char* b) const {
  // strcmp compares as unsigned char.
  return strcmp(a, b) < 0;
}

bool NoCaseOrder::operator()(const char* a, const char* b) const {
  for (;; ++a, ++b) {
    unsigned ca = static_cast<unsigned char>(*a);
    unsigned cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
    if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    if (ca != cb) return ca < cb;
    if (ca == 0) return false;
  }
}

HookList::~HookList() {
  for (auto& entry : moduleTable) delete entry.second;
}

ApiHookRecord* NewApiHookRecord(BlockPool& pool, const char* name, uint32_t typeRoom) {
  if (name == nullptr || strnlen(name, BlockPool::kMaxRequest) >= BlockPool::kMaxRequest ||
      typeRoom > BlockPool::kMaxRequest) {
    return nullptr;
  }
  // Aligned to its fields, so a dispatcher on another thread never reads a pointer half
  // written (the pool itself packs its requests without alignment).
  auto* record =
      new (pool.AllocateAligned(sizeof(ApiHookRecord), alignof(ApiHookRecord))) ApiHookRecord{};
  record->name = pool.CopyString(name);
  record->ordinal = -1;
  record->argTypes = static_cast<char*>(pool.Allocate(typeRoom));
  return record;
}

ImportedModuleRecord NewImportedModuleRecord(BlockPool& pool, const char* name) {
  ImportedModuleRecord record;
  record.name = pool.CopyString(name);
  return record;
}

ModuleHookRecord* NewModuleHookRecord(BlockPool& pool, const char* name) {
  const char* copy = pool.CopyString(name);
  if (copy == nullptr) return nullptr;
  auto* record = new ModuleHookRecord;
  record->name = copy;
  return record;
}

void AddApi(ImportedModuleRecord& module, ApiHookRecord* record) {
  module.apisByName.emplace(record->name, record);
  if (record->ordinal >= 0) module.apisByOrdinal.emplace(record->ordinal, record);
}

void AddImportedModule(ModuleHookRecord& module, const ImportedModuleRecord& imported) {
  module.importedModules.try_emplace(imported.name, imported);
}

ApiHookRecord* FindApi(const HookList& list, const char* name) {
  if (name == nullptr) return nullptr;
  auto found = list.apiTable.find(name);
  return found == list.apiTable.end() ? nullptr : found->second;
}

ApiHookRecord* FindApiByName(const ImportedModuleRecord& module, const char* name) {
  if (name == nullptr) return nullptr;
  auto found = module.apisByName.find(name);
  return found == module.apisByName.end() ? nullptr : found->second;
}

ApiHookRecord* FindApiByOrdinal(const ImportedModuleRecord& module, uint32_t ordinal) {
  if (ordinal > 0x7fffffffu) return nullptr;
  auto found = module.apisByOrdinal.find(static_cast<int32_t>(ordinal));
  return found == module.apisByOrdinal.end() ? nullptr : found->second;
}

ModuleHookRecord* FindModule(const HookList& list, const char* name) {
  if (name == nullptr) return nullptr;
  auto found = list.moduleTable.find(name);
  return found == list.moduleTable.end() ? nullptr : found->second;
}

ImportedModuleRecord* FindImportedModule(HookList& list, const char* name) {
  if (name == nullptr) return nullptr;
  auto found = list.importedModuleTable.find(name);
  return found == list.importedModuleTable.end() ? nullptr : &found->second;
}

}  // namespace qelvorn
