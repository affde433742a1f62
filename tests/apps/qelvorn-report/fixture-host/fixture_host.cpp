// Writes the report's fixture logs: a traced host that runs one scenario per process —
// nested calls through a callback, two threads, a long run for a rolled series, a crash
// that leaves calls in flight, or calls of several families for the decoded call list.
// Usage: fixture_host.exe SCENARIO SETTINGS_DIR\ LOG_DIR\ (both ending in a backslash),
// SCENARIO one of nested, threads, rollover, crash, decode, live (for --follow).
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
            "usage: fixture_host nested|threads|rollover|crash|decode|live SETTINGS_DIR\\ "
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
