// The hook list file Qelvorn.lst: CR LF lines in the ANSI code page, read into the tables
// of the HookList. Also the text routines the reader is made of.
#pragma once

#include <string>
#include <vector>

namespace qelvorn {

struct HookList;

// How a cleaned, non-empty line is sorted; the first test that holds decides.
enum LineKind {
  kImportedSectionLine = 1,  // exactly "[Imported]"
  kImportedModuleLine = 2,   // begins with "imported_module"
  kApiLine = 3,              // begins with "api"
  kImportSectionLine = 4,    // begins with "[Import]"
  kImportModuleLine = 5,     // begins with "import_module"
  kDllLine = 6,              // begins with "dll"
  kOtherLine = 7,
};

// Reads iniDir + "Qelvorn.lst" (iniDir ends with a separator) into hookList. 0 when the
// whole text was read; -1 when the file cannot be opened or read, is larger than 64 MiB,
// the path exceeds 259 characters, a line breaks the structure, or a name, callback name
// or argument list does not fit a pool block. What was entered before a failure stays.
// Heap exhaustion throws std::bad_alloc.
int LoadHookList(const char* iniDir);
// The same into another list (tests).
int LoadHookListInto(HookList& list, const char* iniDir);
// The parse of a zero-terminated text, as LoadHookListInto does after reading the file.
int ParseHookList(HookList& list, const char* text);

// Cuts text at every delimiter: "a,,b" gives three pieces, ",a" two, "a," one, "" none.
std::vector<std::string> SplitText(const std::string& text, const char* delimiter);
// Removes leading and trailing blanks: space, tab and the ideographic space of cp932,
// each matched as a whole character of the ANSI code page.
std::string TrimBlanks(const std::string& text);
// Cuts the line at its first "//" (a whole-character match) and trims it.
std::string CleanLine(const std::string& line);
LineKind ClassifyLine(const std::string& cleaned);

}  // namespace qelvorn
