// Running QelSetUp_ inside a program (created suspended, or running when attached to): a
// remote thread loads the helper DLL, a second one runs the helper's export, and the
// answer and message buffer are read back from the program's memory. QelCleanUp_ runs
// the same way through the helper's second export.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"
#include "folders.h"

namespace qelrun {

struct RemoteAnswer {
  // The exported function's answer, or why it did not answer.
  qel::Result<int, std::wstring> answer;
  // Its message buffer, Shift_JIS; it can hold notes even when no answer came.
  std::string message;
  // With a child pipe: the helper took over process creation in the program.
  bool watchingChildren = false;
};

// childPipe, when not empty, is the launcher's pipe for --children (see child_request.h).
RemoteAnswer RunRemoteSetUp(HANDLE process, const std::wstring& helperPath,
                            const std::wstring& qelvornPath, const Folder& settings,
                            const Folder& logs, const std::wstring& childPipe);

// QelCleanUp_ of the Qelvorn.dll loaded in the program, through the helper (loaded there
// first when a host set tracing up itself). Qelvorn.dll stays loaded.
RemoteAnswer RunRemoteCleanUp(HANDLE process, const std::wstring& helperPath);

}  // namespace qelrun
