// The api and module listings' lines, written from what the hook engine answered. Every
// line is built in listingBuilder, under the hook list's lock, and starts from an empty
// builder, so no text a failed line left behind ever begins a later one.
#pragma once

#include <cstdint>

namespace qelvorn {

bool WriteApiListingStart();
bool WriteApiListingEnd();
// "module, name" is built before the function is bound, so a line that cannot be built
// binds nothing; EndApiLine writes it (", dup" for a function bound before), and
// DropApiLine drops it when the binding failed.
bool BeginApiLine(const char* moduleName, const char* name);
bool EndApiLine(bool duplicate);
void DropApiLine();

bool WriteModuleListingStart();
bool WriteModuleListingEnd();

// What the listing says of one importing module, after an empty line.
enum class ModuleLine {
  kNotLoaded,    // ", not loaded"
  kAlreadyDone,  // ", already done": patched before this set-up
  kNotReady,     // ", not ready": loaded at set-up but never patched
  kPatching,     // the name alone; one import line per imported module follows
};
bool WriteModuleLine(const char* name, ModuleLine line);

// What the listing says of one imported module of an importing module.
enum class ImportLine {
  kNotLoaded,  // ", not loaded"
  kFailed,     // ", NG"
  kHooked,     // ", N": slots pointed at HookEntries
  kRestored,   // ", -N": slots given their real functions back
};
bool WriteImportLine(const char* moduleName, const char* importedName, ImportLine line,
                     int32_t count);

}  // namespace qelvorn
