// --auto: a fresh Qelvorn.ini and a Qelvorn.lst made for PROGRAM by the hook-list
// maker, written into a new folder under the logs folder, with left-out.txt beside them
// naming what the list leaves out and why (CR LF lines, names from files escaped).
#pragma once

#include <string>

#include "folders.h"

namespace qelrun {

struct AutoRequest {
  std::wstring program;  // full path
  std::wstring only;     // function patterns to keep (empty: all)
  std::wstring drop;     // function patterns to leave out
  bool noFlush = false;  // flush=0: each line written, not flushed
  // Names the folder with the time: the launcher's process id, or the traced child's for
  // --children, whose siblings may start the same program within one second.
  unsigned long runId = 0;
};

// The new settings folder, or why it could not be made.
qel::Result<Folder, std::wstring> WriteAutoSettings(const AutoRequest& request, const Folder& logs);

}  // namespace qelrun
