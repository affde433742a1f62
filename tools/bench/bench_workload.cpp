// A workload that behaves like a real program, for timing it plain, traced through qelrun
// and under Wine's relay tracer (tools/run-bench.sh): four worker threads and the main
// thread each take turns of computation and of calls to malloc, memcpy and free from
// msvcrt and to EnterCriticalSection, WriteFile, ReadFile and WaitForSingleObject from
// kernel32, through the program's import table; the threads meet in one critical section
// around their file writes, so some of them block in the kernel as a real program's do.
// Usage: bench_workload.exe DIR\   (its files, and DIR\workload-result.txt: the seconds
// from the first call to the last, and the calls made through the import table)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_kit.h"

namespace {

constexpr int kThreads = 5;  // four workers and the main thread
constexpr int kTurns = 860;  // each thread's; seven calls a turn, about 30,000 in all
constexpr int kCallsPerTurn = 7;
constexpr size_t kBlock = 256;

CRITICAL_SECTION fileLock;
HANDLE ready;  // a set event: every wait on it returns at once, through the kernel
std::string dir;
volatile uint32_t sink;

// A stretch of computation, longer every eighth turn, as between a program's calls.
void Compute(int turn) {
  uint32_t value = sink + static_cast<uint32_t>(turn);
  int steps = turn % 8 == 0 ? 20000 : 2000;
  for (int i = 0; i < steps; ++i) value = value * 1664525u + 1013904223u;
  sink = value;
}

DWORD WINAPI Work(void* context) {
  int thread = static_cast<int>(reinterpret_cast<intptr_t>(context));
  char name[32];
  snprintf(name, sizeof name, "workload-%d.bin", thread);
  HANDLE file = CreateFileA((dir + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  char source[kBlock];
  memset(source, 'a' + thread, sizeof source);
  for (int turn = 0; turn < kTurns; ++turn) {
    Compute(turn);
    char* block = static_cast<char*>(malloc(kBlock));
    memcpy(block, source, kBlock);
    DWORD done = 0;
    EnterCriticalSection(&fileLock);
    WriteFile(file, block, 64, &done, nullptr);
    LeaveCriticalSection(&fileLock);
    SetFilePointer(file, -64, nullptr, FILE_CURRENT);
    ReadFile(file, block, 64, &done, nullptr);
    WaitForSingleObject(ready, INFINITE);
    free(block);
  }
  CloseHandle(file);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_workload.exe DIR\\\n");
    return 2;
  }
  dir = argv[1];
  InitializeCriticalSection(&fileLock);
  ready = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  double start = Now();
  HANDLE workers[kThreads - 1];
  for (int t = 0; t < kThreads - 1; ++t) {
    workers[t] =
        CreateThread(nullptr, 0, Work, reinterpret_cast<void*>(intptr_t{t + 1}), 0, nullptr);
    if (workers[t] == nullptr) return 1;
  }
  DWORD failed = Work(nullptr);
  WaitForMultipleObjects(kThreads - 1, workers, TRUE, INFINITE);
  double seconds = Now() - start;
  for (HANDLE worker : workers) {
    DWORD code = 0;
    GetExitCodeThread(worker, &code);
    failed |= code;
  }
  FILE* out = std::fopen((dir + "workload-result.txt").c_str(), "w");
  if (out == nullptr || failed != 0) return 1;
  std::fprintf(out, "%.6f %d\n", seconds, kThreads * kTurns * kCallsPerTurn);
  std::fclose(out);
  return 0;
}
