// qelrun_waiter.exe: a program that runs until its standard input ends, for the tests that
// attach to a running process. Each input line "open NAME" makes it open NAME (a traced
// CreateFileW whose name the log shows) and answer "opened NAME" on its output; "run
// COMMAND" runs COMMAND, waits for it and answers "ran exit N"; "exit N" answers "exiting
// N" and ends it with exit code N; at the input's end it exits with 7. With
// "--end-on-thread" it ends (exit code 9) as soon as another thread starts in it, such as
// the launcher's remote thread.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

bool endOnThread = false;

void NTAPI OnTls(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_ATTACH && endOnThread) TerminateProcess(GetCurrentProcess(), 9);
}

void WriteOut(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

void Run(std::string command) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &child)) {
    WriteOut("ran not started\n");
    return;
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(child.hProcess, &exitCode);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  WriteOut("ran exit " + std::to_string(exitCode) + "\n");
}

void Obey(const std::string& line) {
  if (line.rfind("run ", 0) == 0) return Run(line.substr(4));
  if (line.rfind("exit ", 0) == 0) {
    // Its answer is the last call the hook list traces: ExitProcess is not in it.
    WriteOut("exiting " + line.substr(5) + "\n");
    ExitProcess(static_cast<UINT>(std::atoi(line.c_str() + 5)));
  }
  if (line.rfind("open ", 0) != 0) return;
  std::string name = line.substr(5);
  std::wstring wide(name.begin(), name.end());
  HANDLE file =
      CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  WriteOut("opened " + name + "\n");
}

}  // namespace

// Run by the loader for every thread that starts, like any TLS callback.
extern "C" {
__attribute__((section(".CRT$XLB"), used)) PIMAGE_TLS_CALLBACK qelWaiterTls = OnTls;
}

int main(int argc, char** argv) {
  endOnThread = argc > 1 && std::string(argv[1]) == "--end-on-thread";
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  std::string pending;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    pending.append(buffer, got);
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      pending.erase(0, end + 1);
      Obey(line);
    }
  }
  return 7;
}
