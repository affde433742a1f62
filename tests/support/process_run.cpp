// CreateProcessW with inheritable handles for the three standard streams.
#include "support/process_run.h"

#include <windows.h>

#include "support/test_support.h"

namespace qeltest {

namespace {

HANDLE OpenInheritable(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Started StartCaptured(const std::wstring& application, const std::wstring& commandLine,
                      const std::wstring& folder, DWORD flags, bool piped) {
  static int serial = 0;
  Started started;
  started.stem = folder + L"capture-" + std::to_wstring(++serial);
  HANDLE in = nullptr;
  if (piped) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    if (!CreatePipe(&in, &started.input, &sa, 0)) return started;
    // Only the read end goes to the program: the test's end must not keep the pipe open.
    SetHandleInformation(started.input, HANDLE_FLAG_INHERIT, 0);
  } else {
    in = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  }
  HANDLE out = OpenInheritable(started.stem + L".out", GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = OpenInheritable(started.stem + L".err", GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  std::wstring line = commandLine;
  if (CreateProcessW(application.empty() ? nullptr : application.c_str(), &line[0], nullptr,
                     nullptr, TRUE, flags, nullptr, folder.c_str(), &startup, &process)) {
    CloseHandle(process.hThread);
    started.process = process.hProcess;
    started.pid = process.dwProcessId;
  }
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  return started;
}

bool Feed(const Started& started, const std::string& text) {
  DWORD written = 0;
  return started.input != nullptr &&
         WriteFile(started.input, text.data(), static_cast<DWORD>(text.size()), &written,
                   nullptr) &&
         written == text.size();
}

void CloseInput(Started& started) {
  if (started.input != nullptr) CloseHandle(started.input);
  started.input = nullptr;
}

std::string WrittenSoFar(const Started& started, bool err) {
  return qeltest::ReadFileBytes(started.stem + (err ? L".err" : L".out"));
}

bool WaitForText(const Started& started, bool err, const std::string& needle, DWORD timeoutMs) {
  DWORD begin = GetTickCount();
  for (;;) {
    if (WrittenSoFar(started, err).find(needle) != std::string::npos) return true;
    if (GetTickCount() - begin > timeoutMs) return false;
    Sleep(50);
  }
}

Captured Finish(Started& started, DWORD timeoutMs) {
  Captured result;
  CloseInput(started);
  result.started = started.process != nullptr;
  if (result.started) {
    if (WaitForSingleObject(started.process, timeoutMs) != WAIT_OBJECT_0) {
      TerminateProcess(started.process, 999);
      WaitForSingleObject(started.process, INFINITE);
    }
    GetExitCodeProcess(started.process, &result.exitCode);
    CloseHandle(started.process);
    started.process = nullptr;
  }
  result.out = WrittenSoFar(started, false);
  result.err = WrittenSoFar(started, true);
  return result;
}

Captured RunCaptured(const std::wstring& application, const std::wstring& commandLine,
                     const std::wstring& folder) {
  Started started = StartCaptured(application, commandLine, folder);
  return Finish(started, 300000);
}

}  // namespace qeltest
