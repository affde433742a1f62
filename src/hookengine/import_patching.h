// Putting the hook list into effect: redirecting the listed modules' import address table
// slots to the HookEntries their functions are bound to, and back. Answers what was done;
// the module listing (control/listings.cpp, tracelog/listing_lines.h) shows it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <vector>

#include "hookengine/hook_status.h"
#include "tracelog/listing_lines.h"

namespace qelvorn {

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

// What the module listing shows of module before its imports, in the hook direction
// (set-up: its handle is taken from handles) or the unhook direction (clean-up).
ModuleLine VisitModule(ModuleHookRecord* module, PatchDirection direction,
                       const LoaderHandles& handles);
// One imported module of module hooked or restored, its handle taken from handles when
// not known yet, with the import line that shows it; a successful patch also marks module
// patched (hook) or not (unhook). Caller holds the listing lock.
struct ImportOutcome {
  ImportLine line;
  int32_t count;  // slots written, for kHooked and kRestored
};
ImportOutcome PatchImportedModule(ModuleHookRecord* module, ImportedModuleRecord* imported,
                                  PatchDirection direction, const LoaderHandles& handles);
// Restores every patched slot without writing anything: a set-up that fails part-way
// must leave no slot pointing at a HookEntry, whatever the log can still take.
void RestoreAllModules();
// Points module's import slots for imported at their HookEntries, or back at the real
// functions, and answers kDone with the slots written in *count; kUnreadable (module or
// name unreadable), kPatchFailed or kRestoreFailed (a slot could not be written). A slot
// that does not point into a loaded image (imports left unresolved by the loader) is
// neither patched nor taken as a real function.
HookStatus PatchImports(ModuleHookRecord* module, ImportedModuleRecord* imported,
                        PatchDirection direction, int32_t* count);
// The first import descriptor of the module at base for importedName (ignoring case).
IMAGE_IMPORT_DESCRIPTOR* FindImportDescriptor(HMODULE base, const char* importedName);

}  // namespace qelvorn
