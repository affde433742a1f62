// What the fault hosts share: the tracer loaded at run time (so a host may unload it),
// the report file DIR\host.txt, and where import address table slots point.
#pragma once

#include <windows.h>

#include <string>

namespace hostkit {

struct Tracer {
  HMODULE module = nullptr;
  int(WINAPI* setUp)(const char*, const char*, char*, int) = nullptr;
  int(WINAPI* writeLog)(const char*, char*, int) = nullptr;
  int(WINAPI* cleanUp)(char*, int) = nullptr;
};

// Loads Qelvorn.dll and finds its exports; false when any is missing.
bool LoadTracer(Tracer& tracer);

// A crash ends the host at once with the exception code as its exit code, after a
// "crash" line in the report, instead of waiting for a debugger.
void ReportCrashes();

// Opens DIR\host.txt for the host's findings; false when it cannot.
bool OpenReport(const std::string& dir);
void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
void CloseReport();

// Whether address lies in the image of module.
bool PointsInto(uintptr_t address, HMODULE module);
// How many import slots of module point into the image of target.
int SlotsInto(HMODULE module, HMODULE target);

}  // namespace hostkit
