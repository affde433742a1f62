// Host of the end-to-end tracing tests: makes the same calls without and with tracing,
// checks its own and its DLL's import slots, and writes what it saw to DIR\host.txt.
// Usage: patch_host.exe SCENARIO DIR\   (DIR ends in a backslash)
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/import_slots.h"
#include "support/stack_pointer.h"

using qeltest::FindImportSlot;
using qeltest::ImportSlot;
using qeltest::ImportSlots;

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

// The stack pointer change across every measured call, in call order: the same calls
// made with and without tracing must leave the same trail.
std::string stackTrail;

using qeltest::StackPointer;

template <typename Call>
__attribute__((always_inline)) inline auto Measured(Call call) {
  uintptr_t before = StackPointer();
  auto result = call();
  uintptr_t after = StackPointer();
  stackTrail += std::to_string(static_cast<intptr_t>(after - before)) + " ";
  return result;
}

// Every call reads its import slot afresh: the compiler may not keep the pointer.
__attribute__((noinline)) int CallMulDiv() {
  return Measured([] { return MulDiv(0x00010002, 3, 1); });
}
__attribute__((noinline)) void CallSleep() {
  Measured([] {
    Sleep(0);
    return 0;
  });
}
__attribute__((noinline)) int CallLengthA(const char* text) {
  return Measured([&] { return lstrlenA(text); });
}
__attribute__((noinline)) int CallLengthW(const wchar_t* text) {
  return Measured([&] { return lstrlenW(text); });
}
__attribute__((noinline)) int CallCompare(const char* a, const char* b) {
  return Measured([&] { return lstrcmpA(a, b); });
}
__attribute__((noinline)) HANDLE CallCreateEvent() {
  return Measured([] { return CreateEventA(nullptr, TRUE, FALSE, nullptr); });
}
__attribute__((noinline)) DWORD CallWait(HANDLE event, DWORD timeout) {
  return Measured([&] { return WaitForSingleObject(event, timeout); });
}
__attribute__((noinline)) BOOL CallSetEvent(HANDLE event) {
  return Measured([&] { return SetEvent(event); });
}
__attribute__((noinline)) BOOL CallCloseHandle(HANDLE handle) {
  return Measured([&] { return CloseHandle(handle); });
}
__attribute__((noinline)) HANDLE CallCreateThread(LPTHREAD_START_ROUTINE start) {
  DWORD id = 0;
  return Measured([&] { return CreateThread(nullptr, 0, start, nullptr, CREATE_SUSPENDED, &id); });
}
__attribute__((noinline)) HMODULE CallModuleW(const wchar_t* name) {
  return Measured([&] { return GetModuleHandleW(name); });
}
__attribute__((noinline)) int CallLibCount(const char* text) {
  return Measured([&] { return LibCount(text); });
}
__attribute__((noinline)) int CallLibTouch() {
  return Measured([] { return LibTouch(); });
}

// A second thread's first traced calls: a wide name, and no name at all.
DWORD WINAPI Worker(void*) {
  HMODULE lib = CallModuleW(L"patch_lib.dll");
  HMODULE self = CallModuleW(nullptr);
  return lib == GetModuleHandleA("patch_lib.dll") && self == GetModuleHandleA(nullptr) ? 7 : 8;
}

// The results and last errors of one round of calls (handles left out: they differ).
std::string RunCalls() {
  char text[512];
  stackTrail.clear();
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
  int count = CallLibCount("abc");
  int touch = CallLibTouch();
  int compared = CallCompare("a", "b");
  // Started suspended and awaited by an untraced wait, so its lines come in one block.
  HANDLE thread = CallCreateThread(Worker);
  ResumeThread(thread);
  WaitForSingleObjectEx(thread, INFINITE, FALSE);
  DWORD workerResult = 0;
  GetExitCodeThread(thread, &workerResult);
  BOOL threadClosed = CallCloseHandle(thread);
  snprintf(text, sizeof text, "%x %lu %d %d %d %lu %d %lu %d %d %lu %d %d %d %lu %d", mul,
           afterSleep, a, wNull, w, timedOut, set, signalled, closed, closedAgain, closeError,
           count, touch, compared, workerResult, threadClosed);
  return text;
}

// The size of one HookEntry: 20 bytes on x86, 24 on x64.
constexpr uintptr_t kEntrySize = sizeof(void*) == 4 ? 20 : 24;

// Every import slot value of the host and of its DLL, in table order.
std::vector<uintptr_t> SlotValues() {
  std::vector<uintptr_t> values;
  for (HMODULE module : {GetModuleHandleA(nullptr), GetModuleHandleA("patch_lib.dll")}) {
    for (const ImportSlot& slot : ImportSlots(module)) values.push_back(*slot.slot);
  }
  return values;
}

int Differences(const std::vector<uintptr_t>& a, const std::vector<uintptr_t>& b) {
  int count = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) count += a[i] != b[i];
  return count;
}

// The HookEntry number in each traced slot of the host, counted from CloseHandle's entry,
// which is the first one bound.
std::string EntryNumbers() {
  HMODULE host = GetModuleHandleA(nullptr);
  uintptr_t first = *FindImportSlot(host, "CloseHandle");
  std::string text;
  for (const char* name :
       {"CloseHandle", "CreateEventA", "CreateThread", "GetModuleHandleW", "#7", "LibTouch",
        "MulDiv", "SetEvent", "Sleep", "WaitForSingleObject", "lstrcmpA", "lstrlenA", "lstrlenW"}) {
    text += std::string(name) + "=" +
            std::to_string((*FindImportSlot(host, name) - first) / kEntrySize) + " ";
  }
  return text;
}

// Qelvorn.dll's own import slot of user32!MessageBoxA, so that running out of HookEntries
// shows no box that would wait for a click (in the guest the box fails at once).
int messageBoxes = 0;
std::string boxText;
int WINAPI CountingMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT style) {
  ++messageBoxes;
  boxText = std::string(text) + "|" + caption + "|" + std::to_string(style);
  return IDOK;
}

void StubMessageBox() {
  uintptr_t* slot = FindImportSlot(GetModuleHandleA("Qelvorn.dll"), "MessageBoxA");
  if (slot == nullptr) return;
  DWORD old = 0;
  VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
  *slot = reinterpret_cast<uintptr_t>(&CountingMessageBox);
  VirtualProtect(slot, sizeof *slot, old, &old);
  fprintf(report, "stubbed\n");
}

// Whether the tracer still holds its log open: it shares the file for reading only.
bool LogHeldOpen() {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((dir + "$$$patch_host*.txt").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  HANDLE file = CreateFileA((dir + found.cFileName).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return true;
  CloseHandle(file);
  return false;
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
  uintptr_t* slot = FindImportSlot(GetModuleHandleA(nullptr), "lstrlenA");
  uintptr_t original = *slot;
  std::vector<uintptr_t> originals = SlotValues();
  if (scenario == "trace") {
    std::string untraced = RunCalls();
    std::string untracedStack = stackTrail;
    SetUp();
    std::string traced = RunCalls();
    CleanUp();
    fprintf(report, "%s\nsame %d\nstack same %d\n", traced.c_str(), traced == untraced,
            stackTrail == untracedStack);
  } else if (scenario == "restore") {
    SetUp();
    std::vector<uintptr_t> patched = SlotValues();
    fprintf(report, "patched %d\nentries %s\n", Differences(originals, patched),
            EntryNumbers().c_str());
    CleanUp();
    fprintf(report, "unrestored %d\n", Differences(originals, SlotValues()));
    CallLengthA("untraced");
    SetUp();
    fprintf(report, "patched again %d same entries %d\n", Differences(originals, SlotValues()),
            SlotValues() == patched);
    CallLengthA("again");
    CleanUp();
    fprintf(report, "unrestored again %d\n", Differences(originals, SlotValues()));
  } else if (scenario == "entries" || scenario == "entries-twice") {
    StubMessageBox();
    SetUp();
    if (scenario == "entries-twice") SetUp();
    fprintf(report, "boxes %d %s\nslot unchanged %d\nlog held %d\n", messageBoxes, boxText.c_str(),
            *slot == original, LogHeldOpen());
    CleanUp();
  } else if (scenario == "setup") {
    SetUp();
    CleanUp();
  } else if (scenario == "call") {
    SetUp();
    fprintf(report, "length %d\n", CallLengthA("looped?"));
    CleanUp();
    fprintf(report, "unrestored %d\n", Differences(originals, SlotValues()));
  }
  fclose(report);
  return 0;
}
