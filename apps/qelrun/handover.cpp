// The handed-over command line is rebuilt from the parsed options, so that the other
// launcher reads exactly what this one read, and PROGRAM keeps the name it was given.
#include "handover.h"

#include <windows.h>

#include <vector>

#include "command_line.h"
#include "console_break.h"
#include "exit_codes.h"
#include "folders.h"
#include "say.h"

namespace qelrun {

namespace {

// A 32-bit process reaches the 64-bit system folder only as %windir%\sysnative, a name
// that a 64-bit process does not have: the file is handed over under its own name.
std::wstring AsSeenByOtherWidth(const std::wstring& path) {
  if (kOwnKind != ProgramKind::kX86) return path;
  wchar_t windows[MAX_PATH];
  UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return path;
  std::wstring prefix = std::wstring(windows, n) + L"\\sysnative\\";
  if (path.size() <= prefix.size() ||
      CompareStringOrdinal(path.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                           static_cast<int>(prefix.size()), TRUE) != CSTR_EQUAL) {
    return path;
  }
  return std::wstring(windows, n) + L"\\system32\\" + path.substr(prefix.size());
}

// The options that set-up is given.
std::vector<std::wstring> SetUpArguments(const Options& options, const std::wstring& home) {
  std::vector<std::wstring> args;
  if (options.autoSettings) {
    args.push_back(L"--auto");
    if (!options.only.empty()) args.insert(args.end(), {L"--only", options.only});
    if (!options.drop.empty()) args.insert(args.end(), {L"--drop", options.drop});
    if (options.noFlush) args.push_back(L"--no-flush");
  } else {
    args.insert(args.end(),
                {L"--settings", options.settingsDir.empty() ? home : options.settingsDir});
  }
  if (!options.logsDir.empty()) args.insert(args.end(), {L"--logs", options.logsDir});
  if (options.children) args.push_back(L"--children");
  return args;
}

// Runs the launcher for kind with args on this console and answers its exit code; 123 when
// it is missing (the sentence says what needs it) and 126 when it cannot be started.
// Console breaks are the other launcher's from then on, unless it only sets up a child.
int RunOtherLauncher(const std::wstring& home, ProgramKind kind, const std::wstring& needs,
                     std::vector<std::wstring> args, bool passBreaks = true) {
  std::wstring launcher = OtherLauncherPath(home, kind);
  if (!IsFile(launcher)) {
    Say(launcher + L" is missing; " + (kind == ProgramKind::kX64 ? L"a 64-bit " : L"a 32-bit ") +
        needs);
    return kExitMissingFiles;
  }
  if (passBreaks) IgnoreConsoleBreaks();
  args.insert(args.begin(), launcher);
  std::wstring commandLine = JoinCommandLine(args);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(launcher.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &process)) {
    Say(L"cannot start " + launcher + L" " + ErrorText(GetLastError()));
    return kExitStartFailed;
  }
  CloseHandle(process.hThread);
  return WaitForExitCode(process.hProcess);
}

}  // namespace

int WaitForExitCode(HANDLE process) {
  WaitForSingleObject(process, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process, &exitCode);
  CloseHandle(process);
  return static_cast<int>(exitCode);
}

std::wstring OtherLauncherPath(const std::wstring& home, ProgramKind kind) {
  std::wstring path =
      kind == ProgramKind::kX64 ? home + L"x64\\qelrun.exe" : home + L"..\\qelrun.exe";
  wchar_t full[MAX_PATH * 4];
  DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, nullptr);
  return n == 0 || n >= MAX_PATH * 4 ? path : std::wstring(full, n);
}

int HandOver(const std::wstring& home, ProgramKind kind, const Options& options,
             const std::wstring& programFile) {
  std::vector<std::wstring> args = SetUpArguments(options, home);
  if (options.runAnyway) args.push_back(L"--run-anyway");
  args.insert(args.end(), {L"--program-file", AsSeenByOtherWidth(programFile), L"--"});
  args.insert(args.end(), options.program.begin(), options.program.end());
  return RunOtherLauncher(home, kind, L"PROGRAM is traced by it", args);
}

int HandOverProcess(const std::wstring& home, ProgramKind kind, const Options& options, DWORD pid,
                    const std::wstring& description) {
  std::wstring id = std::to_wstring(pid);
  std::vector<std::wstring> args;
  if (options.detach.empty()) {
    args = SetUpArguments(options, home);
    args.insert(args.end(), {L"--attach", id});
  } else {
    args = {L"--detach", id};
  }
  return RunOtherLauncher(home, kind, L"process such as " + description + L" is reached through it",
                          args);
}

int SetUpChildElsewhere(const std::wstring& home, ProgramKind kind, const Options& options,
                        DWORD pid, const std::wstring& pipe) {
  Options given = options;
  given.children = false;
  std::vector<std::wstring> args = SetUpArguments(given, home);
  args.insert(args.end(), {L"--child-pipe", pipe, L"--set-up-child", std::to_wstring(pid)});
  return RunOtherLauncher(home, kind,
                          L"child such as process " + std::to_wstring(pid) + L" is set up by it",
                          args, false);
}

}  // namespace qelrun
