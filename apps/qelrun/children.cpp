// A child is set up while the thread of its creator that asked waits for the answer, so
// the list of traced processes is complete whenever none of them is running: the launcher
// ends only then. Requests are taken only from a traced process, about a process it
// created itself (the pipe tells who is asking).
#include "children.h"

#include <algorithm>
#include <memory>

#include "child_request.h"
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

// Creators waiting at once before one of them waits for a free instance.
constexpr int kPipeInstances = 4;

class Locked {
 public:
  explicit Locked(CRITICAL_SECTION* lock) : lock_(lock) { EnterCriticalSection(lock_); }
  ~Locked() { LeaveCriticalSection(lock_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  CRITICAL_SECTION* lock_;
};

void SayUnfollowed(const std::wstring& who) {
  Say(L"--children: processes that " + who + L" creates cannot be followed");
}

bool Running(HANDLE process) {
  return process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

// Sets tracing up in found, a suspended process of this launcher's width, with pipe passed
// on; answers its log, or fails with why it is not traced.
qel::Result<std::wstring, std::wstring> SetUpIn(const FoundProcess& found, const Options& options,
                                                const std::wstring& home,
                                                const std::wstring& pipe) {
  std::wstring qelvornPath = home + kQelvornFile;
  std::wstring helperPath = home + kHelperFile;
  if (!IsFile(qelvornPath) || !IsFile(helperPath)) {
    return qel::Fail(L"the launcher's files are missing in " + home);
  }
  qel::Result<Folders, std::wstring> folders =
      PrepareSetUpFolders(options, found.image, home, found.pid);
  if (!folders) return qel::Fail(folders.message());
  RemoteAnswer setUp = RunRemoteSetUp(found.handle, helperPath, qelvornPath,
                                      folders.value().settings, folders.value().logs, pipe);
  SayShiftJisLines(setUp.message);
  if (!setUp.answer) return qel::Fail(setUp.answer.message());
  if (setUp.answer.value() != 0) {
    return qel::Fail(L"set-up answered " + std::to_wstring(setUp.answer.value()));
  }
  if (!setUp.watchingChildren) SayUnfollowed(Describe(found));
  std::wstring log = FindLog(folders.value().logs.wide, found.pid);
  return log.empty() ? folders.value().logs.wide : log;
}

struct Server {
  ChildTracing* owner;
  HANDLE instance;
};

}  // namespace

ChildTracing::ChildTracing(const Options& options, const std::wstring& home)
    : options_(options), home_(home) {
  InitializeCriticalSection(&lock_);
}

bool ChildTracing::Start() {
  pipe_ = kChildPipePrefix + std::to_wstring(GetCurrentProcessId());
  for (int i = 0; i < kPipeInstances; ++i) {
    DWORD openMode = PIPE_ACCESS_DUPLEX | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    HANDLE instance = CreateNamedPipeW(
        pipe_.c_str(), openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
        PIPE_UNLIMITED_INSTANCES, sizeof(ChildAnswer), sizeof(ChildRequest), 0, nullptr);
    if (instance == INVALID_HANDLE_VALUE) {
      Say(L"--children: cannot open the pipe " + pipe_ + L" " + ErrorText(GetLastError()));
      return false;
    }
    // Each server lives as long as the launcher: its thread never ends.
    HANDLE thread = CreateThread(nullptr, 0, ServeThread, new Server{this, instance}, 0, nullptr);
    if (thread == nullptr) {
      Say(L"--children: cannot start serving the pipe " + ErrorText(GetLastError()));
      return false;
    }
    CloseHandle(thread);
  }
  return true;
}

DWORD WINAPI ChildTracing::ServeThread(void* param) {
  auto* server = static_cast<Server*>(param);
  try {
    server->owner->Serve(server->instance);
  } catch (...) {
    Say(L"--children: out of memory; processes created from now on run untraced");
  }
  return 0;
}

void ChildTracing::Serve(HANDLE instance) {
  for (;;) {
    if (!ConnectNamedPipe(instance, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
      DisconnectNamedPipe(instance);
      continue;
    }
    ChildRequest request{};
    ChildAnswer answer{kChildRequestMark, 0};
    DWORD read = 0;
    ULONG client = 0;
    if (ReadFile(instance, &request, sizeof request, &read, nullptr) && read == sizeof request &&
        request.mark == kChildRequestMark && GetNamedPipeClientProcessId(instance, &client) &&
        client == request.parentPid && request.childPid != 0) {
      Locked locked(&lock_);
      if (Known(client) && !Known(request.childPid)) {
        traced_.push_back(SetUpChild(request.childPid, client));
        answer.traced = traced_.back().log.empty() ? 0 : 1;
      }
    }
    DWORD written = 0;
    WriteFile(instance, &answer, sizeof answer, &written, nullptr);
    FlushFileBuffers(instance);
    DisconnectNamedPipe(instance);
  }
}

bool ChildTracing::Known(DWORD pid) {
  return std::any_of(traced_.begin(), traced_.end(),
                     [pid](const Traced& t) { return t.pid == pid && Running(t.handle); });
}

ChildTracing::Traced ChildTracing::SetUpChild(DWORD pid, DWORD parent) {
  Traced child;
  child.pid = pid;
  child.parent = parent;
  child.name = L"?";
  qel::Result<FoundProcess, FindFailure> found = FindProcess(std::to_wstring(pid));
  if (!found) {
    child.note = found.message().message;
    Say(L"--children: process " + std::to_wstring(pid) + L" runs untraced: " + child.note);
    return child;
  }
  child.name = found.value().name;
  child.handle = found.value().handle;
  if (found.value().kind != kOwnKind) {
    // The launcher of its width sets it up, and says so; its children ask here all the same.
    int code = SetUpChildElsewhere(home_, found.value().kind, options_, pid, pipe_);
    qel::Result<Folder, std::wstring> logs =
        PrepareFolder(options_.logsDir.empty() ? L"." : options_.logsDir, kLogPathBytes);
    if (code == 0 && logs) child.log = FindLog(logs.value().wide, pid);
    if (child.log.empty())
      child.note = L"the launcher of its width answered " + std::to_wstring(code);
    return child;
  }
  qel::Result<std::wstring, std::wstring> log = SetUpIn(found.value(), options_, home_, pipe_);
  if (!log) {
    child.note = log.message();
    Say(L"--children: " + Describe(child.name, pid) + L" runs untraced: " + child.note);
    return child;
  }
  child.log = log.value();
  Say(L"tracing " + Describe(child.name, pid) + L", started by process " + std::to_wstring(parent) +
      L", into " + child.log);
  return child;
}

void ChildTracing::AddRoot(HANDLE process, DWORD pid, const std::wstring& name,
                           const std::wstring& log, bool watching) {
  if (!watching) SayUnfollowed(Describe(name, pid));
  Traced root;
  root.pid = pid;
  root.name = name;
  root.log = log;
  if (log.empty()) root.note = L"set-up did not answer 0";
  DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &root.handle,
                  SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
  Locked locked(&lock_);
  traced_.push_back(std::move(root));
}

std::vector<DWORD> ChildTracing::RunningChildren() {
  Locked locked(&lock_);
  std::vector<DWORD> running;
  for (const Traced& t : traced_) {
    if (t.parent != 0 && !t.log.empty() && Running(t.handle)) running.push_back(t.pid);
  }
  return running;
}

void ChildTracing::WaitForAll() {
  for (;;) {
    HANDLE running = nullptr;
    {
      // Under the lock: a child being set up now is in the list before this looks.
      Locked locked(&lock_);
      for (const Traced& t : traced_) {
        if (Running(t.handle)) {
          running = t.handle;
          break;
        }
      }
    }
    if (running == nullptr) return;
    WaitForSingleObject(running, INFINITE);
  }
}

void ChildTracing::SayTree() {
  Locked locked(&lock_);
  if (traced_.empty()) return;
  Say(L"process tree (process, program, parent, exit code, log):");
  std::vector<bool> said(traced_.size(), false);
  for (size_t i = 0; i < traced_.size(); ++i) {
    if (!said[i] && traced_[i].parent == 0) {
      said[i] = true;
      SayProcess(traced_[i], 0);
      SayBranch(traced_[i].pid, 1, said);
    }
  }
  // A creator whose id was reused before its child asked leaves the child without a branch.
  for (size_t i = 0; i < traced_.size(); ++i) {
    if (!said[i]) SayProcess(traced_[i], 0);
  }
}

void ChildTracing::SayBranch(DWORD parent, int depth, std::vector<bool>& said) {
  for (size_t i = 0; i < traced_.size(); ++i) {
    if (said[i] || traced_[i].parent != parent) continue;
    said[i] = true;
    SayProcess(traced_[i], depth);
    SayBranch(traced_[i].pid, depth + 1, said);
  }
}

void ChildTracing::SayProcess(const Traced& t, int depth) {
  DWORD exitCode = 0;
  std::wstring ended = L"exit code ?";
  if (Running(t.handle)) {
    ended = L"still running";
  } else if (t.handle != nullptr && GetExitCodeProcess(t.handle, &exitCode)) {
    ended = L"exit code " + std::to_wstring(exitCode);
  }
  std::wstring parent = t.parent == 0 ? L"-" : std::to_wstring(t.parent);
  Say(std::wstring(2 * depth, L' ') + std::to_wstring(t.pid) + L" " + t.name + L", parent " +
      parent + L", " + ended + L", " + (t.log.empty() ? L"not traced: " + t.note : t.log));
}

int RunSetUpChild(const Options& options) {
  qel::Result<FoundProcess, FindFailure> found = FindProcess(options.setUpChild);
  if (!found) {
    Say(found.message().message);
    return found.message().exitCode;
  }
  std::unique_ptr<void, decltype(&CloseHandle)> handle(found.value().handle, &CloseHandle);
  if (found.value().kind != kOwnKind) {
    Say(Describe(found.value()) +
        L" was handed over as a process of "
        L"the other width");
    return kExitNotRunnable;
  }
  qel::Result<std::wstring, std::wstring> log =
      SetUpIn(found.value(), options, LauncherFolder(), options.childPipe);
  if (!log) {
    Say(L"--children: " + Describe(found.value()) + L" runs untraced: " + log.message());
    return kExitSetUpFailed;
  }
  Say(L"tracing " + Describe(found.value()) + L" into " + log.value());
  return 0;
}

}  // namespace qelrun
