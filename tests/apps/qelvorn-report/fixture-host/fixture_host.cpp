// Writes the report's fixture logs: a traced host that runs one scenario per process —
// nested calls through a callback, two threads, a long run for a rolled series, a crash
// that leaves calls in flight, calls of several families for the decoded call list, or
// handles opened, used and closed for the handle names.
// Usage: fixture_host.exe SCENARIO SETTINGS_DIR\ LOG_DIR\ (both ending in a backslash),
// SCENARIO one of nested, threads, rollover, crash, decode, handles, live (for --follow).
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

extern "C" {
int WINAPI QelSetUp_(const char* iniDir, const char* logDir, char* msgBuf, int msgBufSize);
int WINAPI QelWriteLog_(const char* text, char* msgBuf, int msgBufSize);
int WINAPI QelCleanUp_(char* msgBuf, int msgBufSize);
}

namespace {

// "Z:\no\such\ファイル.txt" in cp932, so the logs carry double-byte text.
const char kMissingFile[] = "Z:\\no\\such\\\x83\x74\x83\x40\x83\x43\x83\x8b.txt";

BOOL CALLBACK InnerLocale(LPSTR) {
  Sleep(1);
  return FALSE;
}

BOOL CALLBACK OuterCodePage(LPSTR) {
  CreateFileA(kMissingFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EnumSystemLocalesA(InnerLocale, LCID_INSTALLED);
  return FALSE;
}

DWORD WINAPI FailingWorker(void*) {
  Sleep(20);
  CreateFileA(kMissingFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  CloseHandle(reinterpret_cast<HANDLE>(0x1234));
  return 0;
}

HANDLE g_never = nullptr;

DWORD WINAPI BlockedWorker(void*) {
  WaitForSingleObject(g_never, INFINITE);
  return 0;
}

LONG WINAPI EndOnFault(EXCEPTION_POINTERS* info) {
  TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

BOOL CALLBACK Crash(LPSTR) {
  Sleep(1);
  *static_cast<volatile int*>(nullptr) = 1;
  return FALSE;
}

void Nested() {
  Sleep(2);
  EnumSystemCodePagesA(OuterCodePage, CP_INSTALLED);
  Sleep(2);
}

void Threads() {
  HANDLE worker = CreateThread(nullptr, 0, FailingWorker, nullptr, 0, nullptr);
  Sleep(5);
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
}

void Rollover() {
  for (int i = 0; i < 12; ++i) {
    Sleep(1);
    CreateFileA(kMissingFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
}

void CrashWithCallsInFlight() {
  g_never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CreateThread(nullptr, 0, BlockedWorker, nullptr, 0, nullptr);
  Sleep(30);
  SetUnhandledExceptionFilter(EndOnFault);
  EnumSystemCodePagesA(Crash, CP_INSTALLED);
}

// Constants of the file, memory, registry and synchronisation families, one flag with a bit
// that no constant names, a wait that times out and one that names its second handle.
void Decode() {
  CreateFileA(kMissingFile, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | 0x40, nullptr,
              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  GetStdHandle(STD_OUTPUT_HANDLE);
  void* block = VirtualAlloc(nullptr, 65536, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  DWORD old = 0;
  VirtualProtect(block, 4096, PAGE_READONLY | PAGE_GUARD, &old);
  VirtualFree(block, 0, MEM_RELEASE);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft", 0, KEY_READ | KEY_WOW64_64KEY,
                    &key) == ERROR_SUCCESS) {
    RegCloseKey(key);
  }
  RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\no such key", 0, KEY_QUERY_VALUE, &key);
  HANDLE events[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr),
                      CreateEventA(nullptr, TRUE, TRUE, nullptr)};
  WaitForSingleObject(events[0], 0);
  WaitForMultipleObjects(2, events, FALSE, INFINITE);
  CloseHandle(events[0]);
  CloseHandle(events[1]);
}

DWORD WINAPI QuietWorker(void*) {
  return 0;
}

void WriteAndClose(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, "text", 4, &written, nullptr);
  CloseHandle(file);
}

// Handles of each family the report names: two files in turn (the second may take the
// value the first let go), a key path opened a level at a time from a predefined key,
// named and unnamed synchronisation objects, a search, a module loaded twice, a thread, a
// standard handle, a process and a socket; with a call of the directory, console, process
// and window-message families beside them.
void Handles(const char* dir) {
  char in[MAX_PATH], out[MAX_PATH], pattern[MAX_PATH];
  snprintf(in, sizeof in, "%sin.txt", dir);
  snprintf(out, sizeof out, "%sout.txt", dir);
  snprintf(pattern, sizeof pattern, "%s*.txt", dir);
  WriteAndClose(in);
  WriteAndClose(out);

  HKEY software = nullptr, microsoft = nullptr, windows = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &software) == ERROR_SUCCESS &&
      RegOpenKeyExA(software, "Microsoft", 0, KEY_READ, &microsoft) == ERROR_SUCCESS &&
      RegOpenKeyExA(microsoft, "Windows NT\\CurrentVersion", 0, KEY_READ, &windows) ==
          ERROR_SUCCESS) {
    RegQueryValueExA(windows, "CurrentVersion", nullptr, nullptr, nullptr, nullptr);
  }
  if (windows != nullptr) RegCloseKey(windows);
  if (microsoft != nullptr) RegCloseKey(microsoft);
  if (software != nullptr) RegCloseKey(software);
  HKEY created = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Qelvorn fixture", 0, nullptr, 0, KEY_WRITE,
                      nullptr, &created, nullptr) == ERROR_SUCCESS) {
    RegCloseKey(created);
  }

  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "qel-fixture-event");
  HANDLE opened = OpenEventA(SYNCHRONIZE, FALSE, "qel-fixture-event");
  HANDLE mutex = CreateMutexA(nullptr, FALSE, "qel-fixture-mutex");
  HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 1, nullptr);
  WaitForSingleObject(opened, 0);
  WaitForSingleObject(mutex, 0);
  ReleaseMutex(mutex);
  WaitForSingleObject(semaphore, 0);
  CloseHandle(semaphore);
  CloseHandle(mutex);
  CloseHandle(opened);
  CloseHandle(event);

  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search != INVALID_HANDLE_VALUE) {
    FindNextFileA(search, &found);
    FindClose(search);
  }

  // Loaded twice, so the name stays until the second FreeLibrary.
  HMODULE version = LoadLibraryA("version.dll");
  HMODULE again = LoadLibraryExA("version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (version != nullptr) {
    GetProcAddress(version, "GetFileVersionInfoSizeA");
    FreeLibrary(version);
  }
  if (again != nullptr) FreeLibrary(again);

  HANDLE worker = CreateThread(nullptr, 0, QuietWorker, nullptr, 0, nullptr);
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);

  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  WriteFile(console, "handles\r\n", 9, &written, nullptr);
  SetConsoleTextAttribute(console, FOREGROUND_RED | FOREGROUND_INTENSITY);

  char folder[MAX_PATH];
  snprintf(folder, sizeof folder, "%sfolder", dir);
  CreateDirectoryA(folder, nullptr);
  GetFileAttributesA(folder);
  RemoveDirectoryA(folder);

  // A process opened by id is named; the handles a new process gets are in
  // PROCESS_INFORMATION, which the log does not show.
  HANDLE self =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, GetCurrentProcessId());
  if (self != nullptr) CloseHandle(self);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  char command[] = "cmd.exe /c exit 3";
  if (CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                     &startup, &child)) {
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
  }
  PostThreadMessageA(GetCurrentThreadId(), WM_USER + 1, 0, 0);

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) == 0) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) closesocket(s);
    WSACleanup();
  }
}

// Calls spread over seconds and several roll-overs, one of them seconds long, for a report
// that follows the log while it is written.
void Live() {
  for (int i = 0; i < 40; ++i) {
    Sleep(50);
    CreateFileA(kMissingFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (i == 20) Sleep(2500);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr,
            "usage: fixture_host nested|threads|rollover|crash|decode|handles|live SETTINGS_DIR\\ "
            "LOG_DIR\\\n");
    return 2;
  }
  char messages[4096];
  int result = QelSetUp_(argv[2], argv[3], messages, sizeof messages);
  printf("QelSetUp_ answered %d\n%s", result, messages);
  const char* scenario = argv[1];
  if (strcmp(scenario, "nested") == 0) {
    Nested();
  } else if (strcmp(scenario, "threads") == 0) {
    Threads();
  } else if (strcmp(scenario, "rollover") == 0) {
    Rollover();
  } else if (strcmp(scenario, "crash") == 0) {
    CrashWithCallsInFlight();
  } else if (strcmp(scenario, "decode") == 0) {
    Decode();
  } else if (strcmp(scenario, "handles") == 0) {
    Handles(argv[2]);
  } else if (strcmp(scenario, "live") == 0) {
    Live();
  } else {
    fprintf(stderr, "unknown scenario %s\n", scenario);
    return 2;
  }
  QelWriteLog_("[fixture] scenario done\r\n", messages, sizeof messages);
  result = QelCleanUp_(messages, sizeof messages);
  printf("QelCleanUp_ answered %d\n%s", result, messages);
  return 0;
}
