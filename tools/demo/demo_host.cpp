// A small host program that switches tracing on, does ordinary work with files, threads,
// waits and a run-time loaded DLL, adds a text of its own to the log, and switches off.
// Usage: demo_host.exe SETTINGS_DIR\ LOG_DIR\   (both ending in a backslash)
#include <windows.h>

#include <cstdio>

extern "C" {
int WINAPI QelSetUp_(const char* iniDir, const char* logDir, char* msgBuf, int msgBufSize);
int WINAPI QelWriteLog_(const char* text, char* msgBuf, int msgBufSize);
int WINAPI QelCleanUp_(char* msgBuf, int msgBufSize);
}

namespace {

DWORD WINAPI Worker(void* parameter) {
  Sleep(10);
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter));
}

void DoWork(const char* dir) {
  char path[MAX_PATH];
  snprintf(path, sizeof path, "%sdemo-output.txt", dir);
  HANDLE file =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, "hello\r\n", 7, &written, nullptr);
  CloseHandle(file);
  CreateFileA("Z:\\no\\such\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);

  HANDLE thread = CreateThread(nullptr, 0, Worker, reinterpret_cast<void*>(7), 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);

  HMODULE library = LoadLibraryA("version.dll");
  if (library != nullptr) {
    GetProcAddress(library, "GetFileVersionInfoSizeA");
    FreeLibrary(library);
  }
  Sleep(5);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: demo_host SETTINGS_DIR\\ LOG_DIR\\\n");
    return 2;
  }
  char messages[4096];
  int result = QelSetUp_(argv[1], argv[2], messages, sizeof messages);
  printf("QelSetUp_ answered %d\n%s", result, messages);
  DoWork(argv[2]);
  result = QelWriteLog_("[demo] work done\r\n", messages, sizeof messages);
  printf("QelWriteLog_ answered %d\n%s", result, messages);
  result = QelCleanUp_(messages, sizeof messages);
  printf("QelCleanUp_ answered %d\n%s", result, messages);
  return 0;
}
