// The process is found, handed to the launcher of its width when it is not ours, and
// reached through the helper's two exports on remote threads; it is never suspended.
#include "attach.h"

#include "children.h"

#include <windows.h>

#include <string>

#include "console_break.h"
#include "exit_codes.h"
#include "folders.h"
#include "handover.h"
#include "process_find.h"
#include "remote_set_up.h"
#include "say.h"
#include "set_up_block.h"
#include "set_up_folders.h"

namespace qelrun {

namespace {

class ProcessHandle {
 public:
  explicit ProcessHandle(HANDLE handle) : handle_(handle) {}
  ~ProcessHandle() { CloseHandle(handle_); }
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

void SayLines(const std::wstring& text) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    Say(text.substr(start, end - start));
    start = end + 1;
  }
}

bool HasExited(HANDLE process) {
  return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

int ExitCodeOf(HANDLE process) {
  DWORD exitCode = 0;
  GetExitCodeProcess(process, &exitCode);
  return static_cast<int>(exitCode);
}

// The process when it is of this launcher's width; otherwise finished, with the exit code
// of the other launcher it was handed to, or ours when it was not found or not handed over.
struct Reached {
  qel::Result<FoundProcess, FindFailure> found;
  bool finished = false;
  int exitCode = 0;
};

Reached Reach(const std::wstring& given, const Options& options, const std::wstring& home) {
  Reached reached{FindProcess(given)};
  if (!reached.found) {
    SayLines(reached.found.message().message);
    reached.finished = true;
    reached.exitCode = reached.found.message().exitCode;
    return reached;
  }
  const FoundProcess& found = reached.found.value();
  if (found.kind == kOwnKind) return reached;
  reached.finished = true;
  CloseHandle(found.handle);
  reached.exitCode = HandOverProcess(home, found.kind, options, found.pid, Describe(found));
  return reached;
}

// Runs QelCleanUp_ in the process and says how it went; answers QelCleanUp_'s answer, or
// -1 when it could not run.
int CleanUpIn(const FoundProcess& found, const std::wstring& helperPath) {
  RemoteAnswer cleanUp = RunRemoteCleanUp(found.handle, helperPath);
  SayShiftJisLines(cleanUp.message);
  if (!cleanUp.answer) {
    Say(L"clean-up could not run in " + Describe(found) + L": " + cleanUp.answer.message());
    return -1;
  }
  int answer = cleanUp.answer.value();
  if (answer == 0) {
    Say(L"tracing cleaned up in " + Describe(found) + L"; it runs on untraced");
  } else if (answer == 1) {
    Say(L"tracing was not set up in " + Describe(found));
  } else {
    Say(L"clean-up answered " + std::to_wstring(answer) + L" in " + Describe(found));
  }
  return answer;
}

}  // namespace

int RunAttach(const Options& options) {
  std::wstring home = LauncherFolder();
  Reached reached = Reach(options.attach, options, home);
  if (reached.finished) return reached.exitCode;
  const FoundProcess& found = reached.found.value();
  ProcessHandle process(found.handle);
  std::wstring qelvornPath = home + kQelvornFile;
  std::wstring helperPath = home + kHelperFile;
  if (!HaveFiles({qelvornPath, helperPath})) return kExitMissingFiles;
  qel::Result<Folders, std::wstring> folders =
      PrepareSetUpFolders(options, found.image, home, GetCurrentProcessId());
  if (!folders) {
    Say(folders.message());
    return kExitBadFolders;
  }

  ChildTracing* children = nullptr;
  if (options.children) {
    children = new ChildTracing(options, home);
    if (!children->Start()) return kExitStartFailed;
  }
  // Watched from before set-up: a Ctrl+C that comes during it detaches right after it.
  HANDLE stop = WatchConsoleBreaks();
  RemoteAnswer setUp =
      RunRemoteSetUp(process.get(), helperPath, qelvornPath, folders.value().settings,
                     folders.value().logs, children != nullptr ? children->pipe() : std::wstring());
  SayShiftJisLines(setUp.message);
  if (!setUp.answer) {
    Say(setUp.answer.message() + L"; " + Describe(found) +
        (HasExited(process.get()) ? L" exited during set-up" : L" could not be set up"));
    return kExitStartFailed;
  }
  if (setUp.answer.value() == 1) {
    Say(L"tracing was already set up in " + Describe(found) + L"; it was left as it was");
    return kExitSetUpFailed;
  }
  if (setUp.answer.value() != 0) {
    Say(L"set-up answered " + std::to_wstring(setUp.answer.value()) + L"; " + Describe(found) +
        L" runs on untraced");
    return kExitSetUpFailed;
  }
  std::wstring log = FindLog(folders.value().logs.wide, found.pid);
  Say(L"tracing " + Describe(found) + L" into " + (log.empty() ? folders.value().logs.wide : log));
  if (children != nullptr) {
    children->AddRoot(process.get(), found.pid, found.name,
                      log.empty() ? folders.value().logs.wide : log, setUp.watchingChildren);
  }
  Say(L"Ctrl+C or Ctrl+Break detaches");

  HANDLE waits[] = {process.get(), stop};
  DWORD waited = WaitForMultipleObjects(stop != nullptr ? 2 : 1, waits, FALSE, INFINITE);
  if (waited != WAIT_OBJECT_0 + 1) {
    WaitForSingleObject(process.get(), INFINITE);
    if (children != nullptr) {
      children->WaitForAll();
      children->SayTree();
    }
    return ExitCodeOf(process.get());
  }
  int answer = CleanUpIn(found, helperPath);
  // Children traced meanwhile are detached too: nobody would set up theirs any more.
  if (children != nullptr) {
    for (DWORD pid : children->RunningChildren()) {
      qel::Result<FoundProcess, FindFailure> child = FindProcess(std::to_wstring(pid));
      if (!child) continue;
      ProcessHandle childHandle(child.value().handle);
      if (child.value().kind == kOwnKind) CleanUpIn(child.value(), helperPath);
    }
    children->SayTree();
  }
  BreakHandled();
  // A process that ended meanwhile has nothing left to clean up: its exit code is the answer.
  if (answer != 0 && answer != 1 && HasExited(process.get())) return ExitCodeOf(process.get());
  return answer == 0 || answer == 1 ? 0 : kExitStartFailed;
}

int RunDetach(const Options& options) {
  std::wstring home = LauncherFolder();
  Reached reached = Reach(options.detach, options, home);
  if (reached.finished) return reached.exitCode;
  const FoundProcess& found = reached.found.value();
  ProcessHandle process(found.handle);
  std::wstring helperPath = home + kHelperFile;
  if (!HaveFiles({helperPath})) return kExitMissingFiles;
  int answer = CleanUpIn(found, helperPath);
  return answer == 0 ? 0 : answer == 1 ? kExitSetUpFailed : kExitStartFailed;
}

}  // namespace qelrun
