// Host of the stress test: sixteen threads make traced calls of every kind through the
// host's import table while the main thread writes its own lines; each call checks its
// whole result, last error and stack pointer. Every argument carries the thread and call
// number, so each log line can be checked on its own.
// Usage: stress_host.exe CALLS[xTHREADS] DIR\   (CALLS per thread; THREADS up to 16, 16
// when not given; DIR ends in a backslash)
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "fault_lib.h"
#include "host_kit.h"
#include "stress_calls.h"
#include "support/stack_pointer.h"

using hostkit::Report;

namespace {

constexpr int kMaxThreads = 16;

using qeltest::StackPointer;

// One call's outcome: the value the caller received (both halves for FaultWide, the
// double for FaultRatio), the last error after it and how the stack pointer moved across
// it.
struct Outcome {
  uint64_t value = 0;
  double real = 0;
  DWORD lastError = 0;
  int32_t stackMove = 0;
};

// Measured calls: the stack pointer before and after the call of one fixed piece of code, so a
// traced call must move it exactly as the same code did untraced.
template <typename Call>
__attribute__((always_inline)) inline Outcome Measured(Call call) {
  Outcome outcome;
  uintptr_t before = StackPointer();
  call(outcome);
  uintptr_t after = StackPointer();
  outcome.lastError = GetLastError();
  outcome.stackMove = static_cast<int32_t>(after - before);
  return outcome;
}

__attribute__((noinline)) Outcome CallKind(int kind, const stress::Arguments& a) {
  switch (kind) {
    case stress::kLengthA:
      return Measured([&](Outcome& o) { o.value = static_cast<uint32_t>(lstrlenA(a.text)); });
    case stress::kLengthW:
      return Measured([&](Outcome& o) { o.value = static_cast<uint32_t>(lstrlenW(a.wide)); });
    case stress::kAdd:
      return Measured([&](Outcome& o) { o.value = static_cast<uint32_t>(FaultAdd(a.x, a.y)); });
    case stress::kSetError:
      return Measured([&](Outcome& o) { o.value = FaultSetError(a.x); });
    case stress::kWide:
      return Measured([&](Outcome& o) { o.value = FaultWide(a.x, a.y); });
    case stress::kRatio:
      return Measured([&](Outcome& o) { o.real = FaultRatio(a.x, a.y); });
    default:
      return Measured([&](Outcome& o) { o.value = static_cast<uint32_t>(FaultSkipped(a.x)); });
  }
}

int32_t referenceMove[stress::kKinds];
int callsPerThread = 0;
volatile LONG failures = 0;
volatile LONG running = 0;

void Fail(int thread, int call, const char* what, unsigned long long got, unsigned long long want) {
  if (InterlockedIncrement(&failures) <= 20) {
    Report("bad thread %d call %d %s got %llx want %llx\n", thread, call, what, got, want);
  }
}

DWORD WINAPI Worker(void* context) {
  int thread = static_cast<int>(reinterpret_cast<intptr_t>(context));
  for (int call = 0; call < callsPerThread; ++call) {
    stress::Arguments a = stress::ArgumentsOf(thread, call);
    int kind = call % stress::kKinds;
    SetLastError(0x600d0000);
    Outcome got = CallKind(kind, a);
    stress::Expected want = stress::ExpectedOf(kind, a);
    if (kind == stress::kRatio) {
      if (got.real != want.real) Fail(thread, call, "double", got.real * 4, want.real * 4);
    } else if (got.value != want.value) {
      Fail(thread, call, "result", got.value, want.value);
    }
    DWORD error = kind == stress::kSetError ? a.x : 0x600d0000;
    if (got.lastError != error) Fail(thread, call, "last error", got.lastError, error);
    if (got.stackMove != referenceMove[kind]) {
      Fail(thread, call, "stack move", got.stackMove, referenceMove[kind]);
    }
  }
  InterlockedDecrement(&running);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  hostkit::ReportCrashes();
  callsPerThread = atoi(argv[1]);
  const char* times = strchr(argv[1], 'x');
  int threadCount = times != nullptr ? atoi(times + 1) : kMaxThreads;
  if (threadCount < 1 || threadCount > kMaxThreads) return 2;
  std::string dir = argv[2];
  if (!hostkit::OpenReport(dir)) return 3;
  hostkit::Tracer tracer;
  if (!hostkit::LoadTracer(tracer)) return 4;
  for (int kind = 0; kind < stress::kKinds; ++kind) {
    referenceMove[kind] = CallKind(kind, stress::ArgumentsOf(99, kind)).stackMove;
  }
  char messages[8192];
  Report("setup %d\n", tracer.setUp(dir.c_str(), dir.c_str(), messages, sizeof messages));
  HANDLE threads[kMaxThreads];
  running = threadCount;
  for (int i = 0; i < threadCount; ++i) {
    threads[i] = CreateThread(nullptr, 0, Worker, reinterpret_cast<void*>(intptr_t{i}), 0, nullptr);
  }
  int notes = 0;
  int noteFailures = 0;
  while (running != 0) {
    char note[32];
    snprintf(note, sizeof note, "note %05d\r\n", notes++);
    noteFailures += tracer.writeLog(note, messages, sizeof messages) != 0;
    SleepEx(2, FALSE);
  }
  WaitForMultipleObjects(threadCount, threads, TRUE, INFINITE);
  Report("cleanup %d\n", tracer.cleanUp(messages, sizeof messages));
  Report("calls %d notes %d note failures %d bad %ld\n", callsPerThread * threadCount, notes,
         noteFailures, failures);
  hostkit::CloseReport();
  return 0;
}
