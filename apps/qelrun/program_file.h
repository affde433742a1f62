// Whether a file is a program the launcher can trace, told from its headers by the same
// PE reader that makes hook lists.
#pragma once

#include <string>

#include "common/result.h"

namespace qelrun {

// The two kinds of program a launcher of either width can trace: its own directly, the
// other through the launcher of that width.
enum class ProgramKind { kX86, kX64 };

// The kind of program at path, or a sentence naming path when it cannot be read or is no
// x86 or x64 program.
qel::Result<ProgramKind, std::wstring> CheckProgramFile(const std::wstring& path);

// The kind of program the running launcher traces itself.
constexpr ProgramKind kOwnKind = sizeof(void*) == 8 ? ProgramKind::kX64 : ProgramKind::kX86;

}  // namespace qelrun
