// qelrun: starts a program with tracing set up before its own code runs, waits for it
// and exits with its exit code.
#include <windows.h>

#include <cstdio>
#include <string>

#include "auto_settings.h"
#include "command_line.h"
#include "exit_codes.h"
#include "folders.h"
#include "options.h"
#include "pe_image.h"
#include "program_search.h"
#include "remote_set_up.h"
#include "say.h"
#include "set_up_block.h"

namespace qelrun {

namespace {

// Ctrl+C and Ctrl+Break go to every process on the console; the program handles them
// as it would alone, and the launcher stays to report its exit code.
BOOL WINAPI IgnoreBreak(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

bool IsFile(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The log that set-up opened for this process: "$$$<name><slot>$$$(<pid>).txt".
std::wstring FindLog(const std::wstring& folder, DWORD pid) {
  std::wstring pattern = folder + L"$$$*$$$(" + std::to_wstring(pid) + L").txt";
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return std::wstring();
  FindClose(search);
  return folder + found.cFileName;
}

const wchar_t* ImageProblem(ImageKind kind) {
  switch (kind) {
    case ImageKind::kUnreadable:
      return L"cannot be read";
    case ImageKind::kNotPe:
      return L"is not a Windows program (no PE headers)";
    case ImageKind::kPe64:
      return L"is a 64-bit program; only 32-bit programs can be traced";
    case ImageKind::kNotX86:
      return L"is not an x86 program";
    case ImageKind::kDll:
      return L"is a DLL, not a program";
    case ImageKind::kProgram32:
      break;
  }
  return nullptr;
}

int Stop(const PROCESS_INFORMATION& process, int code) {
  TerminateProcess(process.hProcess, static_cast<UINT>(code));
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

int Run(int argc, wchar_t** argv) {
  Options options;
  std::wstring error;
  if (!ParseOptions(argc, argv, options, error)) {
    Say(error);
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  const std::wstring& name = options.program[0];
  std::wstring program = FindProgram(name);
  if (program.empty()) {
    Say(L"PROGRAM " + name + L" not found (looked in the current folder and PATH)");
    return kExitNotFound;
  }
  if (const wchar_t* problem = ImageProblem(ClassifyImage(program))) {
    Say(program + L" " + problem);
    return kExitNotRunnable;
  }

  std::wstring home = LauncherFolder();
  std::wstring qelvornPath = home + kQelvornFile;
  std::wstring helperPath = home + kHelperFile;
  for (const std::wstring& needed : {qelvornPath, helperPath}) {
    if (!IsFile(needed)) {
      Say(needed + L" is missing; it belongs beside qelrun.exe");
      return kExitMissingFiles;
    }
  }

  // The log's name adds "$$$", the program's name, a slot, "$$$(", the process id and ".txt"
  // to the logs folder, all in 259 bytes; a name too long to leave room is refused here,
  // before the subtraction could wrap.
  std::wstring baseName = program.substr(program.find_last_of(L'\\') + 1);
  size_t nameBytes = 2 * baseName.size();
  if (nameBytes + kLogNameExtraBytes >= kLogPathBytes) {
    Say(L"the program's name " + baseName + L" is too long for a log file name");
    return kExitBadFolders;
  }
  size_t logsFolderBytes = kLogPathBytes - kLogNameExtraBytes - nameBytes;
  Folder settings;
  Folder logs;
  bool foldersReady =
      PrepareFolder(options.logsDir.empty() ? L"." : options.logsDir, logsFolderBytes, logs,
                    error) &&
      CheckLogsFolder(logs, error) &&
      (options.autoSettings
           ? WriteAutoSettings({program, options.only, options.drop, options.noFlush}, logs,
                               settings, error)
           : PrepareFolder(options.settingsDir.empty() ? home : options.settingsDir,
                           kSettingsFolderBytes, settings, error)) &&
      CheckSettingsFolder(settings, error);
  if (!foldersReady) {
    Say(error);
    return kExitBadFolders;
  }

  std::wstring commandLine = JoinCommandLine(options.program);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &process)) {
    Say(L"cannot start " + program + L" " + ErrorText(GetLastError()));
    return kExitStartFailed;
  }
  SetConsoleCtrlHandler(IgnoreBreak, TRUE);

  RemoteSetUp setUp = RunRemoteSetUp(process.hProcess, helperPath, qelvornPath, settings, logs);
  SayShiftJisLines(setUp.message);
  if (!setUp.answered || setUp.answer != 0) {
    std::wstring why =
        setUp.answered ? L"set-up answered " + std::to_wstring(setUp.answer) : setUp.error;
    if (!options.runAnyway) {
      Say(why + L"; " + baseName + L" was stopped before it ran");
      return Stop(process, setUp.answered ? kExitSetUpFailed : kExitStartFailed);
    }
    Say(why + L"; running " + baseName + L" untraced (--run-anyway)");
  } else {
    std::wstring log = FindLog(logs.wide, process.dwProcessId);
    Say(L"tracing " + baseName + L" into " + (log.empty() ? logs.wide : log));
  }

  if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
    Say(L"cannot resume " + baseName + L" " + ErrorText(GetLastError()));
    return Stop(process, kExitStartFailed);
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}

}  // namespace

}  // namespace qelrun

int wmain(int argc, wchar_t** argv) {
  try {
    return qelrun::Run(argc, argv);
  } catch (...) {
    qelrun::Say(L"out of memory");
    return qelrun::kExitStartFailed;
  }
}
