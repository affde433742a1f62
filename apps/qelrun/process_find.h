// A running process named on the command line by its id or by its program's file name.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"
#include "program_file.h"

namespace qelrun {

// A process opened for set-up or clean-up, with what the launcher says about it.
struct FoundProcess {
  HANDLE handle = nullptr;  // owned by the caller
  DWORD pid = 0;
  std::wstring image;  // full path of its program
  std::wstring name;   // file name of its program, printable
  ProgramKind kind = kOwnKind;
};

// "NAME (process PID)", as the launcher names a process in its messages.
std::wstring Describe(const std::wstring& name, DWORD pid);
std::wstring Describe(const FoundProcess& found);

// Why no process was found: the launcher's exit code and the sentence that says why.
struct FindFailure {
  int exitCode;
  std::wstring message;
};

// The process given as PID (digits) or NAME (a program's file name, case-insensitive,
// ".exe" optional; exactly one process other than the launcher must have it), opened for
// remote threads and memory.
qel::Result<FoundProcess, FindFailure> FindProcess(const std::wstring& given);

}  // namespace qelrun
