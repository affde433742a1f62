// qelrun_probe.exe: a program that reports from inside whether tracing was already set
// up when its own code started: its import slot of GetCurrentProcessId points away from
// kernel32 once the slot is patched. "--args" prints its arguments instead, one a line.
// "--levels N [--suspend-at K]" also starts itself N-1 levels deeper, the child at level K
// created suspended, and says so from each level.
#include <windows.h>

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
  bool patched = SlotPatched();
  WriteOut(std::string("tls: ") + (tlsSawPatched ? "patched" : "genuine") + "\n");
  WriteOut(std::string("entry: ") + (patched ? "patched" : "genuine") + "\n");
  WriteOut("pid " + std::to_string(GetCurrentProcessId()) + "\n");
  return patched ? 0 : 3;
}
