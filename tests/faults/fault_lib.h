// The exports of fault_lib.dll as its hosts call them, and the entry-point work a host
// can ask of it.
#pragma once

#include <windows.h>

#include <cstdint>

enum FaultLibMode : LONG {
  kQuiet = 0,
  kCallsOnThreadAttach = 1,     // traced calls in every DLL_THREAD_ATTACH
  kCallsOnProcessDetach = 2,    // traced calls in DLL_PROCESS_DETACH
  kCleanUpOnProcessDetach = 3,  // QelCleanUp_ in DLL_PROCESS_DETACH
};

extern "C" {
void FaultMode(LONG value);
// The file to which the detach appends what its own traced calls answered.
void FaultReportTo(const char* path);
int FaultAdd(int a, int b);                              // a * 3 + b, caller cleans
DWORD WINAPI FaultSetError(DWORD code);                  // sets code, answers code ^ 0x5a5a5a5a
uint64_t WINAPI FaultWide(uint32_t high, uint32_t low);  // (high ^ 0x11111111):(low + 7)
double FaultRatio(int whole, int quarters);              // whole + quarters / 4
int WINAPI FaultSkipped(int value);                      // value + 1 when really called
int Same(int value);                                     // value * 100 + 1
}
