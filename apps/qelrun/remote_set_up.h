// Running QelSetUp_ inside a program created suspended: a remote thread loads the
// helper DLL, a second one runs the helper's export, and the answer and message
// buffer are read back from the program's memory.
#pragma once

#include <windows.h>

#include <string>

#include "folders.h"

namespace qelrun {

struct RemoteSetUp {
  bool answered = false;  // QelSetUp_ ran and answered
  int answer = -1;
  std::string message;  // QelSetUp_'s message buffer, Shift_JIS
  std::wstring error;   // why it did not answer, when it did not
};

RemoteSetUp RunRemoteSetUp(HANDLE process, const std::wstring& helperPath,
                           const std::wstring& qelvornPath, const Folder& settings,
                           const Folder& logs);

}  // namespace qelrun
