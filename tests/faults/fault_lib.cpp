// A listed DLL loaded with the fault hosts: exports of each calling convention and result
// kind the tracer must pass through unchanged, and entry-point work chosen by the host.
#include "fault_lib.h"

namespace {

// What DllMain does besides nothing: set by the host before the event it tests.
volatile LONG mode = kQuiet;

char reportPath[MAX_PATH];

using CleanUpFunction = int(WINAPI*)(char*, int);

void AppendToReport(const char* text) {
  HANDLE file = CreateFileA(reportPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text, lstrlenA(text), &written, nullptr);
  CloseHandle(file);
}

// Traced calls through this DLL's own import table.
int TracedCalls(const char* text) {
  int length = lstrlenA(text);
  Sleep(0);
  return length;
}

void CallsAtExit() {
  char line[64];
  wsprintfA(line, "detach length %d\n", TracedCalls("process detach"));
  if (reportPath[0] != '\0') AppendToReport(line);
}

void CleanUpAtExit() {
  HMODULE tracer = GetModuleHandleA("Qelvorn.dll");
  if (tracer == nullptr) return;
  auto cleanUp = reinterpret_cast<CleanUpFunction>(
      reinterpret_cast<void*>(GetProcAddress(tracer, "QelCleanUp_")));
  char messages[1024];
  if (cleanUp != nullptr) cleanUp(messages, sizeof messages);
}

}  // namespace

extern "C" {

void FaultMode(LONG value) {
  InterlockedExchange(&mode, value);
}

void FaultReportTo(const char* path) {
  lstrcpynA(reportPath, path, sizeof reportPath);
}

int FaultAdd(int a, int b) {
  return a * 3 + b;
}

DWORD WINAPI FaultSetError(DWORD code) {
  SetLastError(code);
  return code ^ 0x5a5a5a5a;
}

uint64_t WINAPI FaultWide(uint32_t high, uint32_t low) {
  return (static_cast<uint64_t>(high ^ 0x11111111u) << 32) | (low + 7);
}

double FaultRatio(int whole, int quarters) {
  return whole + quarters / 4.0;
}

int WINAPI FaultSkipped(int value) {
  return value + 1;
}

int Same(int value) {
  return value * 100 + 1;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_THREAD_ATTACH && mode == kCallsOnThreadAttach) TracedCalls("thread attach");
  if (reason == DLL_PROCESS_DETACH && mode == kCallsOnProcessDetach) CallsAtExit();
  if (reason == DLL_PROCESS_DETACH && mode == kCleanUpOnProcessDetach) CleanUpAtExit();
  return TRUE;
}
}
