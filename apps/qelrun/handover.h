// A program of the other width runs under the launcher of that width: a 32-bit process
// cannot set up tracing inside a 64-bit one, nor the reverse. The release keeps the
// 64-bit launcher, its helper and its DLL in x64\ beside the 32-bit ones.
#pragma once

#include <windows.h>

#include <string>

#include "options.h"
#include "program_file.h"

namespace qelrun {

// Waits for a process to end, closes its handle and answers its exit code.
int WaitForExitCode(HANDLE process);

// Where the launcher for programs of kind lives, seen from this launcher's folder.
std::wstring OtherLauncherPath(const std::wstring& home, ProgramKind kind);

// Runs the other launcher on the same console with the same options, the same standard
// streams and PROGRAM's file given outright, waits for it and answers its exit code; the
// settings folder this launcher would have used goes along. Fails with a sentence when
// the other launcher cannot be started.
qel::Result<int, std::wstring> HandOver(const std::wstring& launcher, const Options& options,
                                        const std::wstring& programFile, const std::wstring& home);

// The same for --attach or --detach of the process pid: the other launcher is given its id.
qel::Result<int, std::wstring> HandOverProcess(const std::wstring& launcher, const Options& options,
                                               DWORD pid, const std::wstring& home);

}  // namespace qelrun
