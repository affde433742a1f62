// qelrun: starts a program with tracing set up before its own code runs, waits for it
// and exits with its exit code; or attaches to a running process, or detaches from one.
#include <windows.h>

#include <cstdio>
#include <string>

#include "attach.h"
#include "children.h"
#include "command_line.h"
#include "console_break.h"
#include "exit_codes.h"
#include "folders.h"
#include "handover.h"
#include "options.h"
#include "program_file.h"
#include "program_search.h"
#include "remote_set_up.h"
#include "say.h"
#include "set_up_block.h"
#include "set_up_folders.h"

namespace qelrun {

namespace {

int Stop(const PROCESS_INFORMATION& process, int code) {
  TerminateProcess(process.hProcess, static_cast<UINT>(code));
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
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

  if (!options.attach.empty()) return RunAttach(options);
  if (!options.detach.empty()) return RunDetach(options);
  if (!options.setUpChild.empty()) return RunSetUpChild(options);

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
    return HandOver(home, kind.value(), options, program);
  }
  std::wstring qelvornPath = home + kQelvornFile;
  std::wstring helperPath = home + kHelperFile;
  if (!HaveFiles({qelvornPath, helperPath})) return kExitMissingFiles;

  std::wstring baseName = program.substr(program.find_last_of(L'\\') + 1);
  qel::Result<Folders, std::wstring> folders =
      PrepareSetUpFolders(options, program, home, GetCurrentProcessId());
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
  IgnoreConsoleBreaks();

  ChildTracing* children = nullptr;
  if (options.children) {
    children = new ChildTracing(options, home);
    if (!children->Start()) return Stop(process, kExitStartFailed);
  }
  RemoteAnswer setUp = RunRemoteSetUp(process.hProcess, helperPath, qelvornPath, settings, logs,
                                      children != nullptr ? children->pipe() : std::wstring());
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
    if (children != nullptr) {
      children->AddRoot(process.hProcess, process.dwProcessId, Printable(baseName),
                        log.empty() ? logs.wide : log, setUp.watchingChildren);
    }
  }

  if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
    Say(L"cannot resume " + baseName + L" " + ErrorText(GetLastError()));
    return Stop(process, kExitStartFailed);
  }
  CloseHandle(process.hThread);
  int exitCode = WaitForExitCode(process.hProcess);
  if (children != nullptr) {
    children->WaitForAll();
    children->SayTree();
  }
  return exitCode;
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
