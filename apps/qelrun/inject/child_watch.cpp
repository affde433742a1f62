// Every way of starting a process (CreateProcess*, ShellExecute*, WinExec, _spawn*, system)
// ends in ntdll's NtCreateUserProcess, which kernelbase (and kernel32, where it creates
// processes itself) call through their import slots; a created process's first thread
// starts through NtResumeThread, called the same way. The helper takes those slots: a
// new process is created suspended, the launcher sets tracing up in it, and only then is
// its first thread let go. A caller that asked for a suspended process gets one, and the
// set-up waits for the caller's own resume.
#include "child_watch.h"

#include <windows.h>

#include <cwchar>

#include "child_request.h"

namespace qelrun {

namespace {

using CreateUserProcessFn = LONG(NTAPI*)(PHANDLE, PHANDLE, ACCESS_MASK, ACCESS_MASK, void*, void*,
                                         ULONG, ULONG, void*, void*, void*);
using ResumeThreadFn = LONG(NTAPI*)(HANDLE, PULONG);

// NtCreateUserProcess's thread flag that leaves the first thread suspended.
constexpr ULONG kCreateSuspended = 0x1;
// Set-up of a child takes well under this even in an emulator, --auto's list included.
constexpr DWORD kLauncherWaitMs = 120000;
constexpr int kMaxSlots = 8;
constexpr int kMaxPending = 64;
// An import table of a system DLL never lists this many functions of one DLL.
constexpr int kMaxThunks = 65536;

wchar_t pipeName[kChildPipeChars];
CreateUserProcessFn realCreate = nullptr;
ResumeThreadFn realResume = nullptr;

struct Slot {
  void** where;
  void* genuine;
  void* hook;
};
Slot slots[kMaxSlots];
int slotCount = 0;

// Children created suspended at their creator's request, until their first resume.
struct PendingChild {
  DWORD thread;
  DWORD process;
};
SRWLOCK pendingLock = SRWLOCK_INIT;
PendingChild pending[kMaxPending];
int pendingCount = 0;

// Asks the launcher to set tracing up in process pid; without an answer (the launcher
// gone), the process runs untraced.
void AskLauncher(DWORD pid) {
  if (pid == 0) return;
  ChildRequest request{kChildRequestMark, pid, GetCurrentProcessId()};
  ChildAnswer answer{};
  DWORD read = 0;
  CallNamedPipeW(pipeName, &request, sizeof request, &answer, sizeof answer, &read,
                 kLauncherWaitMs);
}

bool AddPending(DWORD thread, DWORD process) {
  AcquireSRWLockExclusive(&pendingLock);
  bool added = pendingCount < kMaxPending;
  if (added) pending[pendingCount++] = {thread, process};
  ReleaseSRWLockExclusive(&pendingLock);
  return added;
}

// The process whose first thread is thread and still waits for its set-up, or 0.
DWORD TakePending(DWORD thread, DWORD process) {
  DWORD found = 0;
  AcquireSRWLockExclusive(&pendingLock);
  for (int i = 0; i < pendingCount; ++i) {
    if (pending[i].thread != thread) continue;
    // A thread id is reused once its thread is gone: only the same process counts.
    if (pending[i].process == process) found = process;
    pending[i] = pending[--pendingCount];
    break;
  }
  ReleaseSRWLockExclusive(&pendingLock);
  return found;
}

LONG NTAPI WatchedCreateUserProcess(PHANDLE process, PHANDLE thread, ACCESS_MASK processAccess,
                                    ACCESS_MASK threadAccess, void* processAttributes,
                                    void* threadAttributes, ULONG processFlags, ULONG threadFlags,
                                    void* parameters, void* createInfo, void* attributes) {
  LONG status =
      realCreate(process, thread, processAccess, threadAccess, processAttributes, threadAttributes,
                 processFlags, threadFlags | kCreateSuspended, parameters, createInfo, attributes);
  if (status < 0 || process == nullptr || thread == nullptr) return status;
  DWORD lastError = GetLastError();
  DWORD pid = GetProcessId(*process);
  if ((threadFlags & kCreateSuspended) == 0) {
    AskLauncher(pid);
    realResume(*thread, nullptr);
  } else if (!AddPending(GetThreadId(*thread), pid)) {
    AskLauncher(pid);
  }
  SetLastError(lastError);
  return status;
}

LONG NTAPI WatchedResumeThread(HANDLE thread, PULONG previousCount) {
  AcquireSRWLockShared(&pendingLock);
  bool any = pendingCount > 0;
  ReleaseSRWLockShared(&pendingLock);
  if (any) {
    DWORD lastError = GetLastError();
    DWORD pid = TakePending(GetThreadId(thread), GetProcessIdOfThread(thread));
    if (pid != 0) AskLauncher(pid);
    SetLastError(lastError);
  }
  return realResume(thread, previousCount);
}

bool SameName(const char* a, const char* b) {
  return lstrcmpiA(a, b) == 0;
}

// Points module's import slots that hold genuine (a function of ntdll) at hook.
void TakeSlots(HMODULE module, void* genuine, void* hook) {
  if (module == nullptr || genuine == nullptr) return;
  auto* base = reinterpret_cast<unsigned char*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       d->Name != 0 && slotCount < kMaxSlots; ++d) {
    if (!SameName(reinterpret_cast<char*>(base + d->Name), "ntdll.dll")) continue;
    auto* entries = reinterpret_cast<void**>(base + d->FirstThunk);
    for (int i = 0; i < kMaxThunks && entries[i] != nullptr && slotCount < kMaxSlots; ++i) {
      if (entries[i] != genuine) continue;
      DWORD protection = 0;
      if (!VirtualProtect(&entries[i], sizeof(void*), PAGE_READWRITE, &protection)) continue;
      InterlockedExchangePointer(&entries[i], hook);
      VirtualProtect(&entries[i], sizeof(void*), protection, &protection);
      slots[slotCount++] = {&entries[i], genuine, hook};
    }
  }
}

}  // namespace

bool StartChildWatch(const wchar_t* pipe) {
  if (slotCount > 0) return true;
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return false;
  realCreate = reinterpret_cast<CreateUserProcessFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateUserProcess")));
  realResume = reinterpret_cast<ResumeThreadFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtResumeThread")));
  if (realCreate == nullptr || realResume == nullptr) return false;
  if (std::wcslen(pipe) >= kChildPipeChars) return false;
  lstrcpynW(pipeName, pipe, kChildPipeChars);
  const wchar_t* const creators[] = {L"kernelbase.dll", L"kernel32.dll"};
  // The resume slots come first: a process created through a taken slot may wait for one.
  for (const wchar_t* name : creators) {
    TakeSlots(GetModuleHandleW(name), reinterpret_cast<void*>(realResume),
              reinterpret_cast<void*>(&WatchedResumeThread));
  }
  int resumeSlots = slotCount;
  for (const wchar_t* name : creators) {
    TakeSlots(GetModuleHandleW(name), reinterpret_cast<void*>(realCreate),
              reinterpret_cast<void*>(&WatchedCreateUserProcess));
  }
  return slotCount > resumeSlots;
}

void StopChildWatch() {
  for (int i = 0; i < slotCount; ++i) {
    const Slot& slot = slots[i];
    DWORD protection = 0;
    if (!VirtualProtect(slot.where, sizeof(void*), PAGE_READWRITE, &protection)) continue;
    InterlockedCompareExchangePointer(slot.where, slot.genuine, slot.hook);
    VirtualProtect(slot.where, sizeof(void*), protection, &protection);
  }
  slotCount = 0;
}

}  // namespace qelrun
