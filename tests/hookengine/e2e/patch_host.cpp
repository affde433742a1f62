// Host of the end-to-end tracing tests: makes the same calls without and with tracing,
// checks its own import slots, and writes what it saw to DIR\host.txt.
// Usage: patch_host.exe SCENARIO DIR\   (DIR ends in a backslash)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
int WINAPI QelSetUp_(const char* iniDir, const char* logDir, char* msgBuf, int msgBufSize);
int WINAPI QelCleanUp_(char* msgBuf, int msgBufSize);
int LibCount(const char* text);
int LibTouch();
}

namespace {

FILE* report = nullptr;
std::string dir;
char messages[8192];

// Every call reads its import slot afresh: the compiler may not keep the pointer.
__attribute__((noinline)) int CallMulDiv() {
  return MulDiv(0x00010002, 3, 1);
}
__attribute__((noinline)) void CallSleep() {
  Sleep(0);
}
__attribute__((noinline)) int CallLengthA(const char* text) {
  return lstrlenA(text);
}
__attribute__((noinline)) int CallLengthW(const wchar_t* text) {
  return lstrlenW(text);
}
__attribute__((noinline)) HANDLE CallCreateEvent() {
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}
__attribute__((noinline)) DWORD CallWait(HANDLE event, DWORD timeout) {
  return WaitForSingleObject(event, timeout);
}
__attribute__((noinline)) BOOL CallSetEvent(HANDLE event) {
  return SetEvent(event);
}
__attribute__((noinline)) BOOL CallCloseHandle(HANDLE handle) {
  return CloseHandle(handle);
}

// The results and last errors of one round of calls (handles left out: they differ).
std::string RunCalls() {
  char text[512];
  int mul = CallMulDiv();
  SetLastError(1234);
  CallSleep();
  DWORD afterSleep = GetLastError();
  int a = CallLengthA("hello");
  int wNull = CallLengthW(nullptr);
  int w = CallLengthW(L"wide");
  HANDLE event = CallCreateEvent();
  DWORD timedOut = CallWait(event, 0);
  BOOL set = CallSetEvent(event);
  DWORD signalled = CallWait(event, INFINITE);
  BOOL closed = CallCloseHandle(event);
  SetLastError(0);
  BOOL closedAgain = CallCloseHandle(event);
  DWORD closeError = GetLastError();
  int count = LibCount("abc");
  int touch = LibTouch();
  snprintf(text, sizeof text, "%x %lu %d %d %d %lu %d %lu %d %d %lu %d %d", mul, afterSleep, a,
           wNull, w, timedOut, set, signalled, closed, closedAgain, closeError, count, touch);
  return text;
}

// This program's own import slot of kernel32!lstrlenA.
DWORD* ImportSlot(const char* function) {
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(
      base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
  for (; descriptor->Name != 0; ++descriptor) {
    if (_stricmp(reinterpret_cast<char*>(base + descriptor->Name), "KERNEL32.dll") != 0) continue;
    auto* lookup = reinterpret_cast<DWORD*>(base + descriptor->OriginalFirstThunk);
    auto* slot = reinterpret_cast<DWORD*>(base + descriptor->FirstThunk);
    for (; *lookup != 0; ++lookup, ++slot) {
      if (*lookup & IMAGE_ORDINAL_FLAG32) continue;
      if (strcmp(reinterpret_cast<char*>(base + *lookup + 2), function) == 0) return slot;
    }
  }
  return nullptr;
}

// Qelvorn.dll's own import slot of user32!MessageBoxA, so that running out of HookEntries
// shows no box that would wait for a click.
int messageBoxes = 0;
std::string boxText;
int WINAPI CountingMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT style) {
  ++messageBoxes;
  boxText = std::string(text) + "|" + caption + "|" + std::to_string(style);
  return IDOK;
}

void StubMessageBox() {
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA("Qelvorn.dll"));
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(
      base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
  for (; descriptor->Name != 0; ++descriptor) {
    auto* lookup = reinterpret_cast<DWORD*>(base + descriptor->OriginalFirstThunk);
    auto* slot = reinterpret_cast<DWORD*>(base + descriptor->FirstThunk);
    for (; *lookup != 0; ++lookup, ++slot) {
      if (*lookup & IMAGE_ORDINAL_FLAG32) continue;
      if (strcmp(reinterpret_cast<char*>(base + *lookup + 2), "MessageBoxA") != 0) continue;
      DWORD stub = reinterpret_cast<DWORD>(&CountingMessageBox);
      DWORD old = 0;
      VirtualProtect(slot, 4, PAGE_READWRITE, &old);
      *slot = stub;
      VirtualProtect(slot, 4, old, &old);
      fprintf(report, "stubbed\n");
    }
  }
}

int SetUp() {
  int result = QelSetUp_(dir.c_str(), dir.c_str(), messages, sizeof messages);
  fprintf(report, "setup %d\n%s", result, messages);
  return result;
}

void CleanUp() {
  fprintf(report, "cleanup %d\n", QelCleanUp_(messages, sizeof messages));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string scenario = argv[1];
  dir = argv[2];
  report = fopen((dir + "host.txt").c_str(), "wb");
  if (report == nullptr) return 3;
  DWORD* slot = ImportSlot("lstrlenA");
  DWORD original = slot != nullptr ? *slot : 0;
  if (scenario == "trace") {
    std::string untraced = RunCalls();
    SetUp();
    std::string traced = RunCalls();
    CleanUp();
    fprintf(report, "%s\nsame %d\n", traced.c_str(), traced == untraced);
  } else if (scenario == "restore") {
    SetUp();
    fprintf(report, "patched %d\n", *slot != original);
    CleanUp();
    fprintf(report, "restored %d\n", *slot == original);
    CallLengthA("untraced");
    SetUp();
    fprintf(report, "patched again %d\n", *slot != original);
    CallLengthA("again");
    CleanUp();
    fprintf(report, "restored again %d\n", *slot == original);
  } else if (scenario == "entries") {
    StubMessageBox();
    SetUp();
    fprintf(report, "boxes %d %s\nslot unchanged %d\n", messageBoxes, boxText.c_str(),
            *slot == original);
    CleanUp();
  } else if (scenario == "setup") {
    SetUp();
    CleanUp();
  }
  fclose(report);
  return 0;
}
