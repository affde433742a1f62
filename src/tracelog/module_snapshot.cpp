// The loaded-module snapshot (walk, lookup by address) and the loaded-module listing.
#include "tracelog/module_snapshot.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "base/file_facts.h"
#include "base/block_pool.h"
#include "tracelog/line_builder.h"

namespace qelvorn {

namespace {

// The snapshots' own pool, apart from the hook list's. Never released: the recorders of
// calls made while DLLs detach at process exit still look modules up in it.
BlockPool& snapshotPool = *new BlockPool;

constexpr char kListingTitle[] = "\r\n[Loaded Modules]\r\n\r\n";
// Stands in for the date of a module file that cannot be opened, in the date's width.
constexpr char kUnknownFileTime[] = "----/--/-- --:--:--";

// The documented answer to a walk that races a loader change is to try again.
constexpr int kSnapshotAttempts = 8;

HANDLE OpenModuleWalk() {
  HANDLE walk = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
    walk = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
    if (walk != INVALID_HANDLE_VALUE || GetLastError() != ERROR_BAD_LENGTH) break;
  }
  return walk;
}

ModuleInfo* NewModuleInfo(MODULEENTRY32& entry) {
  entry.szModule[sizeof entry.szModule - 1] = '\0';
  entry.szExePath[sizeof entry.szExePath - 1] = '\0';
  void* room = snapshotPool.Allocate(sizeof(ModuleInfo));
  const char* name = snapshotPool.CopyString(entry.szModule);
  const char* path = snapshotPool.CopyString(entry.szExePath);
  size_t nameLength = strlen(entry.szModule);
  char* column = static_cast<char*>(snapshotPool.Allocate(nameLength + 4));
  if (room == nullptr || name == nullptr || path == nullptr || column == nullptr) return nullptr;
  column[0] = ' ';
  column[1] = '<';
  memcpy(column + 2, name, nameLength);
  memcpy(column + 2 + nameLength, ">", 2);
  return new (room) ModuleInfo{reinterpret_cast<uintptr_t>(entry.modBaseAddr),
                               static_cast<uint32_t>(entry.modBaseSize),
                               entry.hModule,
                               name,
                               path,
                               column,
                               static_cast<uint32_t>(nameLength + 3)};
}

bool AppendFileTime(LineBuilder& builder, const char* path) {
  FILETIME written;
  FILETIME local;
  SYSTEMTIME time;
  if (GetFileSizeAndTimeA(path, &written) < 0 || !FileTimeToLocalFileTime(&written, &local) ||
      !FileTimeToSystemTime(&local, &time)) {
    return builder.AppendText(kUnknownFileTime);
  }
  return builder.AppendDateTime(&time);
}

bool AppendModuleLine(LineBuilder& builder, const ModuleInfo& module) {
  return builder.AppendAddress(module.base) && builder.AppendText(" - ") &&
         builder.AppendAddress(module.base + module.size) && builder.AppendSeparator() &&
         builder.AppendText(" [") && builder.AppendHex32(module.size) && builder.AppendText("(") &&
         builder.AppendGrouped(static_cast<int32_t>(module.size)) && builder.AppendText(")], ") &&
         AppendFileTime(builder, module.path) && builder.AppendSeparator() &&
         builder.AppendText(module.path);
}

}  // namespace

// Never destroyed, for the same reason as its pool.
ModuleSnapshot& moduleSnapshot = *new ModuleSnapshot;

bool ModuleNameLess::operator()(const char* left, const char* right) const {
  return _stricmp(left, right) < 0;
}

ModuleSnapshot::~ModuleSnapshot() {
  const ModuleTable* current = table.load();
  while (current != nullptr) {
    const ModuleTable* retired = current->retired;
    delete[] current->entries;
    delete current;
    current = retired;
  }
}

bool ModuleSnapshot::Take() {
  byName.clear();
  byAddress.clear();
  bool complete = Walk();
  // Sorted even after a cut walk: the lookup bisects.
  std::sort(byAddress.begin(), byAddress.end(),
            [](const ModuleInfo* a, const ModuleInfo* b) { return a->base < b->base; });
  bool published = Publish();
  return complete && published;
}

bool ModuleSnapshot::Walk() {
  HANDLE walk = OpenModuleWalk();
  if (walk == INVALID_HANDLE_VALUE) return false;
  MODULEENTRY32 entry;
  memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  DWORD processId = GetCurrentProcessId();
  bool complete = Module32First(walk, &entry) != FALSE;
  for (bool more = complete; more; more = Module32Next(walk, &entry) != FALSE) {
    if (entry.th32ProcessID != processId) continue;
    ModuleInfo* module = NewModuleInfo(entry);
    if (module == nullptr || byName.count(module->name) != 0) {
      complete = false;
      break;
    }
    byName.emplace(module->name, module);
    byAddress.push_back(module);
  }
  CloseHandle(walk);
  return complete;
}

bool ModuleSnapshot::Publish() {
  const ModuleTable* previous = table.load();
  ModuleTable* next = new (std::nothrow) ModuleTable{nullptr, 0, previous};
  const ModuleInfo** entries = new (std::nothrow) const ModuleInfo*[byAddress.size() + 1];
  if (next == nullptr || entries == nullptr) {
    delete next;
    delete[] entries;
    return false;
  }
  std::copy(byAddress.begin(), byAddress.end(), entries);
  next->entries = entries;
  next->count = static_cast<uint32_t>(byAddress.size());
  table.store(next, std::memory_order_release);
  return true;
}

const ModuleInfo* ModuleSnapshot::FindByAddress(uintptr_t address) const {
  const ModuleTable* current = table.load(std::memory_order_acquire);
  if (current == nullptr) return nullptr;
  // Lower bound: the first module whose base is not below address.
  uint32_t low = 0;
  uint32_t high = current->count;
  while (low < high) {
    uint32_t middle = low + (high - low) / 2;
    if (current->entries[middle]->base < address) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low == 0) return nullptr;
  const ModuleInfo* below = current->entries[low - 1];
  // Subtracting first keeps a module that ends at the top of the address space right.
  return address - below->base <= below->size ? below : nullptr;
}

bool WriteModuleListing(const ModuleSnapshot& snapshot) {
  if (!headerBuilder.AppendText(kListingTitle)) return false;
  // With no module to follow, the title goes out on its own rather than waiting in the
  // builder for whatever line comes next.
  if (snapshot.byAddress.empty()) return headerBuilder.Flush(true);
  for (const ModuleInfo* module : snapshot.byAddress) {
    if (!AppendModuleLine(headerBuilder, *module)) {
      headerBuilder.Clear();
      return false;
    }
    if (!headerBuilder.Flush(true)) return false;
  }
  return true;
}

}  // namespace qelvorn
