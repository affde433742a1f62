// Hooking or restoring one listed module's imports, one listing line per imported module.
#pragma once

#include "hookengine/import_patching.h"

namespace qelvorn {

// Each imported module listed for module, patched by PatchImportedModule and shown by its
// import line. Used by set-up and clean-up and when a listed module is loaded after
// set-up. Caller holds the listing lock. False when a line could not be written.
bool HookModule(ModuleHookRecord* module, PatchDirection direction, const LoaderHandles& handles);

}  // namespace qelvorn
