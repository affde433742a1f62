// Running QelSetUp_ inside a program created suspended: a remote thread loads the
// helper DLL, a second one runs the helper's export, and the answer and message
// buffer are read back from the program's memory.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"
#include "folders.h"

namespace qelrun {

struct RemoteSetUp {
  // QelSetUp_'s answer, or why it did not answer.
  qel::Result<int, std::wstring> answer;
  // QelSetUp_'s message buffer, Shift_JIS; it can hold notes even when no answer came.
  std::string message;
};

RemoteSetUp RunRemoteSetUp(HANDLE process, const std::wstring& helperPath,
                           const std::wstring& qelvornPath, const Folder& settings,
                           const Folder& logs);

}  // namespace qelrun
