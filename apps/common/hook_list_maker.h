// Writing a complete Qelvorn.lst for a program: the definitions under lists/ (lists/x64/ for
// a 64-bit program) of exactly the functions that the program and its own DLLs import, with
// the [Import] section naming them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/name_patterns.h"
#include "common/result.h"

namespace qel {

// The most functions a hook list can trace: one per HookEntry.
constexpr size_t kMaxHookEntries = 1001;

struct HookListRequest {
  std::string program;
  // More importing modules (the program's own DLLs); their folders are searched as well.
  std::vector<std::string> modules;
  NamePatterns keepDlls, dropDlls;            // empty keep list: every DLL
  NamePatterns keepFunctions, dropFunctions;  // empty keep list: every function
  // Folders holding <dll>.lst definitions for 32-bit programs and x64/<dll>.lst for 64-bit
  // ones, searched in order.
  std::vector<std::string> listsDirs;
  // Folders searched first for the file of a DLL whose functions are imported by ordinal,
  // to read their names from its exports; then the loader's own order (see DllSearchFolders).
  std::vector<std::string> dllDirs;
};

struct HookList {
  std::string text;                // CR LF lines
  std::vector<std::string> notes;  // what was left out, and why; names from files escaped
  size_t functions = 0;
  size_t leftOut = 0;  // imported functions left out, each import of a left-out DLL counted
};

// Fills list and succeeds, or fails with the reason when nothing usable can be written;
// either way list->notes says what was left out.
Status MakeHookList(const HookListRequest& request, HookList* list);

// The same for a program whose bytes are already in memory (a fuzzer's way in):
// request.program only names it, and its folder is still searched for its own DLLs.
Status MakeHookListFromBytes(const HookListRequest& request, const uint8_t* data, size_t size,
                             HookList* list);

// Where the file of a DLL imported by ordinal is looked for, in order: request.dllDirs, the
// folders of the program and its modules, then on Windows the system folder, Sysnative (the
// 64-bit system folder of a 32-bit process on 64-bit Windows), the Windows folder and each
// folder of PATH, as the loader looks.
std::vector<std::string> DllSearchFolders(const HookListRequest& request);

// A DLL name as an import table may give it: a file name, with no /, \, :, no "..", no
// control character and no byte DEL; anything else could reach outside lists/ or forge lines.
bool IsPlainDllName(const std::string& name);

// Where the definitions are looked for: lists/ beside the running executable, then ../lists
// (a release's x64 folder has none of its own), then (for the build machine's own build) the
// source tree.
std::vector<std::string> DefaultListsDirs();

}  // namespace qel
