// The api and module listings of set-up and clean-up: the hook engine binds and patches,
// and each of its answers becomes a listing line.
#pragma once

#include "hookengine/import_patching.h"

namespace qelvorn {

// Binds every unbound function of the apiTable, in name order, and writes the function
// listing. False at the first failure (no entry left, failed binding or failed write).
bool BindAndListApis();

// Hook direction (set-up) or unhook direction (clean-up) over every listed module,
// writing the module listing. False when a title or a module line could not be written.
bool ListModules(PatchDirection direction);

// The text of the box shown when the hook list names more functions than there are
// HookEntries: HookEntry が不足しています。
constexpr char kEntriesExhausted[] =
    "HookEntry \x82\xaa\x95s\x91\xab\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81"
    "B";

}  // namespace qelvorn
