// Putting the hook list into effect: binding every listed function to a HookEntry and
// redirecting the listed modules' import address table slots, with their log listings.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <vector>

#include "base/owned_lock.h"

struct ModuleHookRecord;
struct ImportedModuleRecord;

enum class PatchDirection { kHook, kUnhook };

// Module handles the loader gave for names of the hook list (keyed by the pool pointer of
// the name), asked while none of the library's locks is held: a thread inside a DllMain
// holds the loader lock and may itself be waiting for one of ours.
using LoaderHandles = std::map<const char*, HMODULE>;
// The names of module and of every module it imports from, for AskLoader.
void CollectNames(const ModuleHookRecord* module, std::vector<const char*>& names);
LoaderHandles AskLoader(const std::vector<const char*>& names);

// Binds every unbound function of the apiTable, in name order, and writes the function
// listing. False at the first failure (no entry left, failed binding or failed write).
bool BindAndListApis();
// Hook direction (set-up) or unhook direction (clean-up) over every listed module,
// writing the module listing. False when a title or a module line could not be written.
bool ListModules(PatchDirection direction);
// Patches or restores one loaded module's imports of every imported module listed for
// it, one log line each. Also used when a listed module is loaded after set-up. Caller
// holds the listing lock.
bool HookModule(ModuleHookRecord* module, PatchDirection direction, const LoaderHandles& handles);
// Restores every patched slot without writing anything: a set-up that fails part-way
// must leave no slot pointing at a HookEntry, whatever the log can still take.
void RestoreAllModules();
// Slots written (0 or more); -1 module or name unreadable, -2 a slot could not be
// patched, -3 a slot could not be restored. A slot that does not point into a loaded
// image (imports left unresolved by the loader) is neither patched nor taken as a
// real function.
int32_t PatchImports(ModuleHookRecord* module, ImportedModuleRecord* imported,
                     PatchDirection direction);
// The first import descriptor of the module at base for importedName (ignoring case).
IMAGE_IMPORT_DESCRIPTOR* FindImportDescriptor(HMODULE base, const char* importedName);

// Serialises the users of the listingBuilder, of HookModule and of the hook list tables:
// set-up (which also fills the tables), clean-up and the module-tracking callbacks on any
// thread. Re-entrant. The outermost release drops any listing text left unwritten, so no
// later line starts with it.
extern OwnedLock listingLock;
struct ListingHold {
  ListingHold();
  ~ListingHold();
  bool held() const { return held_; }
  ListingHold(const ListingHold&) = delete;
  ListingHold& operator=(const ListingHold&) = delete;

 private:
  bool held_;
};
