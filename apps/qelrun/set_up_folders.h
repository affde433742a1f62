// The folders that set-up in a process is given, and the log it opens there; the same for
// a program the launcher starts and for a process it attaches to.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"
#include "folders.h"
#include "options.h"

namespace qelrun {

struct Folders {
  Folder settings;
  Folder logs;
};

// The logs folder, checked writable, then the settings folder: the one given, or the one
// --auto writes under the logs folder for program (a full path). Refused when program's
// name leaves no room for a log's name in the logs folder. runId names --auto's folder
// (see AutoRequest).
qel::Result<Folders, std::wstring> PrepareSetUpFolders(const Options& options,
                                                       const std::wstring& program,
                                                       const std::wstring& home, DWORD runId);

// The log that set-up opened for process pid in folder, or empty when there is none.
std::wstring FindLog(const std::wstring& folder, DWORD pid);

}  // namespace qelrun
