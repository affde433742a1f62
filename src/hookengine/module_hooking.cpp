// One module's imports: the patcher answers, the listing shows the answer.
#include "hookengine/module_hooking.h"

#include "hooklist/hook_list.h"
#include "tracelog/listing_lines.h"

namespace qelvorn {

bool HookModule(ModuleHookRecord* module, PatchDirection direction, const LoaderHandles& handles) {
  for (auto& entry : module->importedModules) {
    ImportedModuleRecord& imported = entry.second;
    ImportOutcome outcome = PatchImportedModule(module, &imported, direction, handles);
    if (!WriteImportLine(module->name, imported.name, outcome.line, outcome.count)) return false;
  }
  return true;
}

}  // namespace qelvorn
