// qelrun: starts a program with tracing set up before its own code runs, waits for it
// and exits with its exit code.
#include <windows.h>

#include <cstdio>
#include <string>

#include "auto_settings.h"
#include "command_line.h"
#include "exit_codes.h"
#include "folders.h"
#include "handover.h"
#include "options.h"
#include "program_file.h"
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

// The log that set-up opened for this process: "$$$<name><slot>$$$(<pid>).txt".
std::wstring FindLog(const std::wstring& folder, DWORD pid) {
  std::wstring pattern = folder + L"$$$*$$$(" + std::to_wstring(pid) + L").txt";
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return std::wstring();
  FindClose(search);
  return folder + found.cFileName;
}

int Stop(const PROCESS_INFORMATION& process, int code) {
  TerminateProcess(process.hProcess, static_cast<UINT>(code));
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

struct Folders {
  Folder settings;
  Folder logs;
};

// The logs folder, checked writable, then the settings folder: the one given, or the one
// --auto writes under the logs folder.
qel::Result<Folders, std::wstring> PrepareFolders(const Options& options,
                                                  const std::wstring& program,
                                                  const std::wstring& home,
                                                  size_t logsFolderBytes) {
  qel::Result<Folder, std::wstring> logs =
      PrepareFolder(options.logsDir.empty() ? L"." : options.logsDir, logsFolderBytes);
  if (!logs) return qel::Fail(logs.message());
  qel::WideStatus writable = CheckLogsFolder(logs.value());
  if (!writable) return qel::Fail(writable.message());
  qel::Result<Folder, std::wstring> settings =
      options.autoSettings
          ? WriteAutoSettings({program, options.only, options.drop, options.noFlush}, logs.value())
          : PrepareFolder(options.settingsDir.empty() ? home : options.settingsDir,
                          kSettingsFolderBytes);
  if (!settings) return qel::Fail(settings.message());
  qel::WideStatus complete = CheckSettingsFolder(settings.value());
  if (!complete) return qel::Fail(complete.message());
  return Folders{std::move(settings).value(), std::move(logs).value()};
}

int Run(int argc, wchar_t** argv) {
  qel::Result<Options, std::wstring> parsed = ParseOptions(argc, argv);
  if (!parsed) {
    Say(parsed.message());
    return kExitUsage;
  }
  const Options& options = parsed.value();
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  const std::wstring& name = options.program[0];
  bool handedOver = !options.programFile.empty();
  std::wstring program = FindProgram(handedOver ? options.programFile : name);
  if (program.empty()) {
    Say(L"PROGRAM " + (handedOver ? options.programFile : name) +
        L" not found (looked in the current folder and PATH)");
    return kExitNotFound;
  }
  qel::Result<ProgramKind, std::wstring> kind = CheckProgramFile(program);
  if (!kind) {
    Say(kind.message());
    return kExitNotRunnable;
  }

  std::wstring home = LauncherFolder();
  if (kind.value() != kOwnKind) {
    // A program handed over is never handed back: the two launchers would pass it to and
    // fro if they saw its file differently.
    if (handedOver) {
      Say(program + L" was handed over as a program of the other width");
      return kExitNotRunnable;
    }
    std::wstring other = OtherLauncherPath(home, kind.value());
    if (!IsFile(other)) {
      Say(other + L" is missing; " +
          (kind.value() == ProgramKind::kX64 ? L"a 64-bit" : L"a 32-bit") +
          L" PROGRAM is traced by it");
      return kExitMissingFiles;
    }
    SetConsoleCtrlHandler(IgnoreBreak, TRUE);
    qel::Result<int, std::wstring> handed = HandOver(other, options, program, home);
    if (!handed) {
      Say(handed.message());
      return kExitStartFailed;
    }
    return handed.value();
  }
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
  qel::Result<Folders, std::wstring> folders =
      PrepareFolders(options, program, home, logsFolderBytes);
  if (!folders) {
    Say(folders.message());
    return kExitBadFolders;
  }
  const Folder& settings = folders.value().settings;
  const Folder& logs = folders.value().logs;

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
  const qel::Result<int, std::wstring>& answer = setUp.answer;
  if (!answer || answer.value() != 0) {
    std::wstring why =
        answer ? L"set-up answered " + std::to_wstring(answer.value()) : answer.message();
    if (!options.runAnyway) {
      Say(why + L"; " + baseName + L" was stopped before it ran");
      return Stop(process, answer ? kExitSetUpFailed : kExitStartFailed);
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
  return WaitForExitCode(process.hProcess);
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
