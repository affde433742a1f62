// Finding PROGRAM as the command prompt does: a name with a folder part is taken as it
// is; a bare name is looked for in the current folder, then in each PATH folder.
#pragma once

#include <string>

namespace qelrun {

// The full path of the program file, or empty when none was found. A name without an
// extension is tried with ".exe" added.
std::wstring FindProgram(const std::wstring& name);

}  // namespace qelrun
