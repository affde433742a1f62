// Putting the hook list into effect: binding every listed function to a HookEntry and
// redirecting the listed modules' import address table slots, with their log listings.
#pragma once

#include <windows.h>

#include <cstdint>

struct ModuleHookRecord;
struct ImportedModuleRecord;

// Binds every unbound function of the apiTable, in name order, and writes the function
// listing. False at the first failure (no entry left, failed binding or failed write).
bool ListApis();
// Hook direction (set-up) or unhook direction (clean-up) over every listed module,
// writing the module listing. False when a title or a module line could not be written.
bool ListModules(bool hook);
// Patches or restores one loaded module's imports of every imported module listed for
// it, one log line each. Also used when a listed module is loaded after set-up.
bool HookModule(ModuleHookRecord* module, bool hook);
// Slots written (0 or more); -1 module or name unreadable, -2 a slot could not be
// patched, -3 a slot could not be restored.
int32_t PatchImports(ModuleHookRecord* module, ImportedModuleRecord* imported, bool hook);
// The first import descriptor of the module at base for importedName (ignoring case).
IMAGE_IMPORT_DESCRIPTOR* FindImportDescriptor(HMODULE base, const char* importedName);

// Serialises the users of the listingBuilder and of HookModule: set-up, clean-up and the
// module-tracking callbacks on any thread. Recursive, so a holder may call HookModule.
void EnterListingLock();
void LeaveListingLock();
