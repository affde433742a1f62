// Writing a complete Qelvorn.lst for a program: the definitions under lists/ of exactly the
// functions that the program and its own DLLs import, with the [Import] section naming them.
#pragma once
#include <string>
#include <vector>

#include "common/name_patterns.h"

namespace qel {

// The most functions a hook list can trace: one per HookEntry.
constexpr size_t kMaxHookEntries = 1001;

struct HookListRequest {
  std::string program;
  // More importing modules (the program's own DLLs); their folders are searched as well.
  std::vector<std::string> modules;
  NamePatterns keepDlls, dropDlls;            // empty keep list: every DLL
  NamePatterns keepFunctions, dropFunctions;  // empty keep list: every function
  // Folders holding <dll>.lst definitions, searched in order.
  std::vector<std::string> listsDirs;
};

struct HookList {
  std::string text;                // CR LF lines
  std::vector<std::string> notes;  // what was left out, and why
  size_t functions = 0;
};

// False with a reason in *error (nothing usable to write); true with the list otherwise.
bool MakeHookList(const HookListRequest& request, HookList* list, std::string* error);

// Where the definitions are looked for: lists/ beside the running executable, then (for
// the build machine's own build) the source tree.
std::vector<std::string> DefaultListsDirs();

}  // namespace qel
