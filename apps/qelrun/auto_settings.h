// --auto: a fresh Qelvorn.ini and a Qelvorn.lst made for PROGRAM by the hook-list
// maker, written into a new folder under the logs folder.
#pragma once

#include <string>

#include "folders.h"

namespace qelrun {

struct AutoRequest {
  std::wstring program;  // full path
  std::wstring only;     // function patterns to keep (empty: all)
  std::wstring drop;     // function patterns to leave out
  bool noFlush = false;  // flush=0: each line written, not flushed
};

// Fills settings with the new folder; answers false with a sentence in error.
bool WriteAutoSettings(const AutoRequest& request, const Folder& logs, Folder& settings,
                       std::wstring& error);

}  // namespace qelrun
