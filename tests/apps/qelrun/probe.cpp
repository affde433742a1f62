// qelrun_probe.exe: a program that reports from inside whether tracing was already set
// up when its own code started: its import slot of GetCurrentProcessId points away from
// kernel32 once the slot is patched. "--args" prints its arguments instead, one a line.
// "--levels N [--suspend-at K]" also starts itself N-1 levels deeper, the child at level K
// created suspended, and says so from each level. "--spawn" starts itself once through each
// of WinExec, system, _spawnl and ShellExecuteExA, each child "--report NAME CODE", which
// writes what its entry point saw into NAME.report in the current folder and exits CODE.
#include <windows.h>

#include <process.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

bool tlsSawPatched = false;

void WriteOut(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

// True when this program's import slot of kernel32's GetCurrentProcessId no longer holds
// kernel32's own address.
bool SlotPatched() {
  auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  void* genuine = reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetCurrentProcessId"));
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name;
       ++d) {
    if (lstrcmpiA(reinterpret_cast<char*>(base + d->Name), "kernel32.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + d->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (names->u1.Ordinal & IMAGE_ORDINAL_FLAG32) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<char*>(byName->Name), "GetCurrentProcessId") == 0) {
        return reinterpret_cast<void*>(slots->u1.Function) != genuine;
      }
    }
  }
  return false;
}

void NTAPI OnTls(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_PROCESS_ATTACH) tlsSawPatched = SlotPatched();
}

std::string Utf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  return out;
}

// One level of --levels: says whether tracing was set up when its entry point ran, starts
// the next level and exits with the next level's exit code plus one (plus 100 when not
// traced), so the top sees whether every level was.
int RunLevels(int level, int suspendAt) {
  bool patched = SlotPatched();
  WriteOut("level " + std::to_string(level) + " pid " + std::to_string(GetCurrentProcessId()) +
           " entry " + (patched ? "patched" : "genuine") + "\n");
  int own = patched ? 1 : 101;
  if (level <= 1) return own;
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 90;
  std::wstring commandLine = L"\"" + std::wstring(self, n) + L"\" --levels " +
                             std::to_wstring(level - 1) + L" --suspend-at " +
                             std::to_wstring(suspendAt);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  bool suspended = level - 1 == suspendAt;
  if (!CreateProcessW(self, &commandLine[0], nullptr, nullptr, TRUE,
                      suspended ? CREATE_SUSPENDED : 0, nullptr, nullptr, &startup, &child)) {
    return 91;
  }
  if (suspended) {
    // Still suspended after a while: tracing it did not let it go early.
    Sleep(300);
    DWORD previous = ResumeThread(child.hThread);
    WriteOut("level " + std::to_string(level - 1) + " was " +
             (previous == 1 ? "suspended" : "running") + " until resumed\n");
    if (previous != 1) own += 200;
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(child.hProcess, &exitCode);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return static_cast<int>(exitCode) + own;
}

// --report: whether the child's import slot was patched when its entry point ran, written
// under another name first so that a parent waiting for the name reads it whole.
int Report(const wchar_t* name, int code) {
  std::string text = std::string("entry ") + (SlotPatched() ? "patched" : "genuine") + " pid " +
                     std::to_string(GetCurrentProcessId()) + "\n";
  std::wstring file = std::wstring(name) + L".report";
  HANDLE out =
      CreateFileW((file + L".part").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (out == INVALID_HANDLE_VALUE) return 92;
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(out);
  MoveFileExW((file + L".part").c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
  return code;
}

std::string ExitCodeOf(HANDLE process) {
  WaitForSingleObject(process, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process, &exitCode);
  CloseHandle(process);
  return "exit code " + std::to_string(exitCode);
}

// WinExec gives no handle to wait on: the parent waits for the child's report instead.
std::string ByWinExec(const std::string& self, const std::string& arguments) {
  UINT answer = WinExec(("\"" + self + "\" " + arguments).c_str(), SW_HIDE);
  std::string said = "answered " + std::to_string(answer);
  for (int i = 0; i < 1200; ++i) {
    if (GetFileAttributesW(L"WinExec.report") != INVALID_FILE_ATTRIBUTES) {
      return said + ", report written";
    }
    Sleep(100);
  }
  return said + ", no report";
}

// Through cmd /c: the exit code is cmd's, which is its command's.
std::string BySystem(const std::string& self, const std::string& arguments) {
  return "exit code " + std::to_string(std::system(("\"" + self + "\" " + arguments).c_str()));
}

// _spawnl joins its arguments with spaces as they are: the path is quoted here.
std::string BySpawnl(const std::string& self, const std::string& arguments) {
  std::string quoted = "\"" + self + "\"";
  intptr_t exitCode = _spawnl(_P_WAIT, self.c_str(), quoted.c_str(), arguments.c_str(), nullptr);
  if (exitCode == -1) return "failed, errno " + std::to_string(errno);
  return "exit code " + std::to_string(exitCode);
}

std::string ByShellExecuteEx(const std::string& self, const std::string& arguments) {
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask =
      SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NO_CONSOLE | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = "open";
  info.lpFile = self.c_str();
  info.lpParameters = arguments.c_str();
  info.nShow = SW_HIDE;
  if (!ShellExecuteExA(&info)) return "failed, error " + std::to_string(GetLastError());
  if (info.hProcess == nullptr) return "no process handle";
  return ExitCodeOf(info.hProcess);
}

struct SpawnWay {
  const char* name;
  int code;
  std::string (*start)(const std::string& self, const std::string& arguments);
};

// --spawn: one child through each way in turn, each with an exit code of its own; prints
// what the parent saw of each.
int SpawnEach() {
  const SpawnWay ways[] = {
      {"WinExec", 41, ByWinExec},
      {"system", 42, BySystem},
      {"_spawnl", 43, BySpawnl},
      {"ShellExecuteExA", 44, ByShellExecuteEx},
  };
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 90;
  for (const SpawnWay& way : ways) {
    std::string arguments = std::string("--report ") + way.name + " " + std::to_string(way.code);
    WriteOut(std::string(way.name) + ": " + way.start(std::string(self, n), arguments) + "\n");
  }
  return 0;
}

}  // namespace

// Run by the loader before the entry point, like any TLS callback of a program.
extern "C" {
__attribute__((section(".CRT$XLB"), used)) PIMAGE_TLS_CALLBACK qelProbeTls = OnTls;
}

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wcscmp(argv[1], L"--args") == 0) {
    for (int i = 2; i < argc; ++i) WriteOut("[" + Utf8(argv[i]) + "]\n");
    return argc - 2;
  }
  if (argc > 2 && std::wcscmp(argv[1], L"--levels") == 0) {
    int suspendAt = argc > 4 && std::wcscmp(argv[3], L"--suspend-at") == 0 ? _wtoi(argv[4]) : 0;
    return RunLevels(_wtoi(argv[2]), suspendAt);
  }
  if (argc > 1 && std::wcscmp(argv[1], L"--spawn") == 0) return SpawnEach();
  if (argc > 3 && std::wcscmp(argv[1], L"--report") == 0) return Report(argv[2], _wtoi(argv[3]));
  bool patched = SlotPatched();
  WriteOut(std::string("tls: ") + (tlsSawPatched ? "patched" : "genuine") + "\n");
  WriteOut(std::string("entry: ") + (patched ? "patched" : "genuine") + "\n");
  WriteOut("pid " + std::to_string(GetCurrentProcessId()) + "\n");
  return patched ? 0 : 3;
}
