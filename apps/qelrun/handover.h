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

// Runs the launcher for programs of kind on the same console with the same options, the
// same standard streams and PROGRAM's file given outright, waits for it and answers its
// exit code; the settings folder this launcher would have used goes along. Says why and
// answers 123 when that launcher is missing, 126 when it cannot be started.
int HandOver(const std::wstring& home, ProgramKind kind, const Options& options,
             const std::wstring& programFile);

// The same for --attach or --detach of the process pid (description names it in messages):
// the other launcher is given its id.
int HandOverProcess(const std::wstring& home, ProgramKind kind, const Options& options, DWORD pid,
                    const std::wstring& description);

// The same for a suspended child of the other width found by --children: the other
// launcher sets it up for the launcher serving pipe and answers 0 when it is traced.
int SetUpChildElsewhere(const std::wstring& home, ProgramKind kind, const Options& options,
                        DWORD pid, const std::wstring& pipe);

}  // namespace qelrun
