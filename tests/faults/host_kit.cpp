// The fault hosts' shared helpers: loading the tracer, the report file, import slots.
#include "host_kit.h"

#include <cstdarg>
#include <cstdio>

#include "support/import_slots.h"

namespace hostkit {

namespace {

FILE* report = nullptr;

IMAGE_NT_HEADERS* Headers(HMODULE module) {
  auto* base = reinterpret_cast<BYTE*>(module);
  return reinterpret_cast<IMAGE_NT_HEADERS*>(base +
                                               reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
}

template <class T>
bool Find(HMODULE module, const char* name, T& out) {
  out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return out != nullptr;
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
  Report("crash %08lx at %p\n", exception->ExceptionRecord->ExceptionCode,
         exception->ExceptionRecord->ExceptionAddress);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void ReportCrashes() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(ReportCrash);
}

bool LoadTracer(Tracer& tracer) {
  tracer.module = LoadLibraryA("Qelvorn.dll");
  return tracer.module != nullptr && Find(tracer.module, "QelSetUp_", tracer.setUp) &&
         Find(tracer.module, "QelWriteLog_", tracer.writeLog) &&
         Find(tracer.module, "QelCleanUp_", tracer.cleanUp);
}

bool OpenReport(const std::string& dir) {
  report = fopen((dir + "host.txt").c_str(), "wb");
  return report != nullptr;
}

void Report(const char* format, ...) {
  if (report == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  vfprintf(report, format, arguments);
  va_end(arguments);
  fflush(report);
}

void CloseReport() {
  if (report != nullptr) fclose(report);
  report = nullptr;
}

bool PointsInto(uintptr_t address, HMODULE module) {
  auto base = reinterpret_cast<uintptr_t>(module);
  return module != nullptr && address >= base &&
         address - base < Headers(module)->OptionalHeader.SizeOfImage;
}

int SlotsInto(HMODULE module, HMODULE target) {
  int count = 0;
  for (const qeltest::ImportSlot& slot : qeltest::ImportSlots(module)) {
    count += PointsInto(*slot.slot, target);
  }
  return count;
}

}  // namespace hostkit
