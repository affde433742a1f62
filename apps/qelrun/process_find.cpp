// Finds a running process through the system's process list (Toolhelp) and opens it with
// the rights that a remote thread and its shared memory need.
#include "process_find.h"

#include <tlhelp32.h>

#include <vector>

#include "exit_codes.h"
#include "say.h"

namespace qelrun {

namespace {

constexpr DWORD kAccess = PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                          PROCESS_VM_WRITE | PROCESS_VM_READ | SYNCHRONIZE;

qel::Failure<FindFailure> Refuse(int exitCode, std::wstring message) {
  return {{exitCode, std::move(message)}};
}

bool ParsePid(const std::wstring& given, DWORD* pid) {
  if (given.empty() || given.size() > 10) return false;
  unsigned long long value = 0;
  for (wchar_t c : given) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<unsigned>(c - L'0');
  }
  if (value > 0xffffffffull) return false;
  *pid = static_cast<DWORD>(value);
  return true;
}

bool SameName(const wchar_t* a, const std::wstring& b) {
  return CompareStringOrdinal(a, -1, b.c_str(), static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

struct Listed {
  DWORD pid;
  std::wstring name;
};

// Every process but this one whose program's file name is name, or name with ".exe".
qel::Result<std::vector<Listed>, FindFailure> ProcessesNamed(const std::wstring& name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return Refuse(kExitStartFailed,
                  L"cannot list the running processes " + ErrorText(GetLastError()));
  }
  std::wstring withExe = name + L".exe";
  std::vector<Listed> found;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    entry.szExeFile[MAX_PATH - 1] = L'\0';
    if (entry.th32ProcessID == GetCurrentProcessId()) continue;
    if (SameName(entry.szExeFile, name) || SameName(entry.szExeFile, withExe)) {
      found.push_back({entry.th32ProcessID, entry.szExeFile});
    }
  }
  CloseHandle(snapshot);
  return found;
}

qel::Result<DWORD, FindFailure> PidOf(const std::wstring& given) {
  DWORD pid = 0;
  if (ParsePid(given, &pid)) return pid;
  qel::Result<std::vector<Listed>, FindFailure> listed = ProcessesNamed(given);
  if (!listed) return qel::Failure<FindFailure>{listed.message()};
  const std::vector<Listed>& found = listed.value();
  if (found.empty()) {
    return Refuse(kExitNotFound, L"no running process has the program " + Printable(given));
  }
  if (found.size() > 1) {
    std::wstring message = std::to_wstring(found.size()) + L" running processes have the program " +
                           Printable(given) + L"; give one of their ids:";
    for (const Listed& each : found) {
      message += L"\n" + std::to_wstring(each.pid) + L" " + Printable(each.name);
    }
    return Refuse(kExitUsage, message);
  }
  return found[0].pid;
}

ProgramKind KindOf(HANDLE process) {
  BOOL selfWow64 = FALSE;
  BOOL targetWow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &selfWow64);
  IsWow64Process(process, &targetWow64);
  bool system64 = kOwnKind == ProgramKind::kX64 || selfWow64;
  return system64 && !targetWow64 ? ProgramKind::kX64 : ProgramKind::kX86;
}

}  // namespace

qel::Result<FoundProcess, FindFailure> FindProcess(const std::wstring& given) {
  qel::Result<DWORD, FindFailure> pid = PidOf(given);
  if (!pid) return qel::Failure<FindFailure>{pid.message()};
  std::wstring which = L"process " + std::to_wstring(pid.value());
  if (pid.value() == GetCurrentProcessId()) {
    return Refuse(kExitUsage, which + L" is this launcher");
  }
  HANDLE handle = OpenProcess(kAccess, FALSE, pid.value());
  if (handle == nullptr) {
    DWORD error = GetLastError();
    // The system answers an id that names no process with "the parameter is incorrect".
    if (error == ERROR_INVALID_PARAMETER) {
      return Refuse(kExitNotFound,
                    L"no running process has the id " + std::to_wstring(pid.value()));
    }
    return Refuse(kExitStartFailed, which + L" cannot be opened " + ErrorText(error));
  }
  FoundProcess found;
  found.handle = handle;
  found.pid = pid.value();
  wchar_t image[MAX_PATH * 4];
  DWORD size = MAX_PATH * 4;
  if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) {
    CloseHandle(handle);
    return Refuse(kExitStartFailed, which + L" has already exited");
  }
  if (!QueryFullProcessImageNameW(handle, 0, image, &size)) {
    DWORD error = GetLastError();
    CloseHandle(handle);
    return Refuse(kExitStartFailed, which + L"'s program cannot be named " + ErrorText(error));
  }
  found.image.assign(image, size);
  found.name = Printable(found.image.substr(found.image.find_last_of(L'\\') + 1));
  found.kind = KindOf(handle);
  return found;
}

std::wstring Describe(const std::wstring& name, DWORD pid) {
  return name + L" (process " + std::to_wstring(pid) + L")";
}

std::wstring Describe(const FoundProcess& found) {
  return Describe(found.name, found.pid);
}

}  // namespace qelrun
