// CreateProcessW with inheritable file handles for the three standard streams.
#include "process_run.h"

#include <windows.h>

#include "support/test_support.h"

namespace qelruntest {

namespace {

HANDLE OpenInheritable(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Captured RunCaptured(const std::wstring& application, const std::wstring& commandLine,
                     const std::wstring& folder) {
  static int serial = 0;
  std::wstring stem = folder + L"capture-" + std::to_wstring(++serial);
  Captured result;
  HANDLE in = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = OpenInheritable(stem + L".out", GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = OpenInheritable(stem + L".err", GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  std::wstring line = commandLine;
  result.started =
      CreateProcessW(application.empty() ? nullptr : application.c_str(), &line[0], nullptr,
                     nullptr, TRUE, 0, nullptr, folder.c_str(), &startup, &process) != FALSE;
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  if (result.started) {
    if (WaitForSingleObject(process.hProcess, 300000) != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, 999);
      WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  result.out = qeltest::ReadFileBytes(stem + L".out");
  result.err = qeltest::ReadFileBytes(stem + L".err");
  return result;
}

}  // namespace qelruntest
