// Whether a file is a program the launcher can trace, told from its headers by the same
// PE reader that makes hook lists.
#pragma once

#include <string>

#include "common/result.h"

namespace qelrun {

// Fails with a sentence naming path when it cannot be read or is no 32-bit x86 program.
qel::WideStatus CheckProgramFile(const std::wstring& path);

}  // namespace qelrun
