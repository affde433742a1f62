// What the benchmark programs share: their clock and their folder.
#pragma once

#include <windows.h>

#include <string>

// Seconds from the performance counter.
inline double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The folder of the running program, with its trailing backslash.
inline std::string ProgramFolder() {
  char self[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string dir(self, length < sizeof self ? length : 0);
  return dir.substr(0, dir.find_last_of('\\') + 1);
}
