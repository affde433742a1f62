// Host of the module-tracking tests: switches tracing on with the files in DIR, runs one
// scenario of run-time loads, look-ups and frees, writes what it saw to DIR\host.txt and
// switches tracing off. Usage: track_host.exe SCENARIO DIR\   (DIR ends in a backslash)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
int WINAPI QelSetUp_(const char* iniDir, const char* logDir, char* msgBuf, int msgBufSize);
int WINAPI QelCleanUp_(char* msgBuf, int msgBufSize);
}

namespace {

using TargetAddFunction = int (*)(int, int);
using NoArgumentFunction = int (*)();

FILE* report = nullptr;
std::string dir;

// Each import is called from its own non-inlined function, so every call reads the
// import slot afresh instead of a pointer the compiler kept in a register.
__attribute__((noinline)) HMODULE LoadA(const char* name) {
  return LoadLibraryA(name);
}
__attribute__((noinline)) HMODULE LoadW(const wchar_t* name) {
  return LoadLibraryW(name);
}
__attribute__((noinline)) HMODULE LoadExA(const char* name) {
  return LoadLibraryExA(name, nullptr, 0);
}
__attribute__((noinline)) HMODULE LoadExW(const wchar_t* name) {
  return LoadLibraryExW(name, nullptr, 0);
}
__attribute__((noinline)) FARPROC Fetch(HMODULE module, const char* name) {
  return GetProcAddress(module, name);
}
__attribute__((noinline)) BOOL Free(HMODULE module) {
  return FreeLibrary(module);
}

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

std::string ProgramDir() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string p = path;
  return p.substr(0, p.find_last_of('\\') + 1);
}

int LibWork(HMODULE lib) {
  auto work = reinterpret_cast<NoArgumentFunction>(reinterpret_cast<void*>(Fetch(lib, "LibWork")));
  return work != nullptr ? work() : -1;
}

void LoadForms() {
  HMODULE lib = LoadA("track_lib.dll");
  fprintf(report, "A %d\n", LibWork(lib));
  Free(lib);
  lib = LoadW(L"track_lib.dll");
  fprintf(report, "W %d\n", LibWork(lib));
  Free(lib);
  lib = LoadExA("track_lib.dll");
  fprintf(report, "ExA %d\n", LibWork(lib));
  Free(lib);
  lib = LoadExW(L"track_lib.dll");
  fprintf(report, "ExW %d\n", LibWork(lib));
  HMODULE again = LoadA("track_lib.dll");  // only raises the count: no remark
  Free(again);
  Free(lib);
}

void FullPaths() {
  std::string lib = ProgramDir() + "track_lib.dll";
  std::string target = ProgramDir() + "track_target.dll";
  HMODULE wideTarget = LoadW(Wide(target).c_str());
  HMODULE narrowLib = LoadA(lib.c_str());
  fprintf(report, "lib %d\n", LibWork(narrowLib));
  Free(narrowLib);
  HMODULE narrowTarget = LoadA(target.c_str());
  Free(narrowTarget);
  Free(wideTarget);
}

void Fetches() {
  HMODULE target = LoadA("track_target.dll");
  FARPROC add = Fetch(target, "TargetAdd");
  auto call = reinterpret_cast<TargetAddFunction>(reinterpret_cast<void*>(add));
  fprintf(report, "add %d\n", call(3, 4));
  fprintf(report, "same %d\n", Fetch(target, "TargetAdd") == add);
  fprintf(report, "other module same %d\n",
          Fetch(GetModuleHandleA("kernel32.dll"), "TargetAdd") == add);
  FARPROC other = Fetch(target, "TargetOther");
  FARPROC byOrdinal = Fetch(target, reinterpret_cast<const char*>(6));
  fprintf(report, "other %d ordinal same %d\n",
          reinterpret_cast<NoArgumentFunction>(reinterpret_cast<void*>(other))(),
          byOrdinal == other);
  fprintf(report, "missing null %d\n", Fetch(target, "TargetMissing") == nullptr);
  Free(target);
  SetLastError(0);
  int afterFree = call(3, 4);
  fprintf(report, "after free %d error %lu\n", afterFree, GetLastError());
  target = LoadA("track_target.dll");
  FARPROC again = Fetch(target, "TargetAdd");
  fprintf(report, "again same %d add %d\n", again == add, call(5, 6));
  Free(target);
}

void FailedThenLoaded() {
  SetDllDirectoryA(dir.c_str());
  HMODULE missing = LoadA("late_lib.dll");
  fprintf(report, "first %d\n", missing == nullptr);
  CopyFileA((ProgramDir() + "track_lib.dll").c_str(), (dir + "late_lib.dll").c_str(), FALSE);
  HMODULE late = LoadA("late_lib.dll");
  fprintf(report, "second %d work %d\n", late != nullptr, LibWork(late));
  Free(late);
}

DWORD WINAPI Churn(void*) {
  for (int i = 0; i < 15; ++i) {
    HMODULE lib = LoadA("track_lib.dll");
    LibWork(lib);
    Free(lib);
    HMODULE target = LoadA("track_target.dll");
    auto add =
        reinterpret_cast<TargetAddFunction>(reinterpret_cast<void*>(Fetch(target, "TargetAdd")));
    if (add != nullptr) add(1, 2);
    Free(target);
  }
  return 0;
}

void Threads() {
  std::vector<HANDLE> threads;
  for (int i = 0; i < 4; ++i)
    threads.push_back(CreateThread(nullptr, 0, Churn, nullptr, 0, nullptr));
  WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 120000);
  for (HANDLE thread : threads) CloseHandle(thread);
  fprintf(report, "threads done\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string scenario = argv[1];
  dir = argv[2];
  report = fopen((dir + "host.txt").c_str(), "wb");
  if (report == nullptr) return 3;
  char messages[4096];
  int result = QelSetUp_(dir.c_str(), dir.c_str(), messages, sizeof messages);
  fprintf(report, "setup %d\n", result);
  if (scenario == "load") LoadForms();
  if (scenario == "paths") FullPaths();
  if (scenario == "fetch") Fetches();
  if (scenario == "failed") FailedThenLoaded();
  if (scenario == "threads") Threads();
  fprintf(report, "cleanup %d\n", QelCleanUp_(messages, sizeof messages));
  fclose(report);
  return 0;
}
