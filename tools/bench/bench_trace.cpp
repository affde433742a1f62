// Cost of a traced call with tracing active, against the floor that every traced call must
// pay (two 100-byte lines, each written and flushed), on one thread and on eight at once,
// and against the same workload under Wine's relay tracer (run as "--workload FILE" with
// WINEDEBUG=+relay by the benchmark job). The host imports lstrlenA through its import
// table and traces it with the real DLL, as a new user would.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_kit.h"

#include "control/exports.h"

namespace {

// Calls per measurement; "--calls N" changes it for a quick look.
int kCalls = 20000;
constexpr int kThreads = 8;
constexpr int kRounds = 3;
constexpr char kText[] = "a text of some forty bytes for the log..";

volatile int sink;

// The traced workload: calls through the program's own import slot.
void Workload(int calls) {
  int sum = 0;
  for (int i = 0; i < calls; ++i) sum += lstrlenA(kText);
  sink = sum;
}

DWORD WINAPI WorkloadThread(void* calls) {
  Workload(static_cast<int>(reinterpret_cast<intptr_t>(calls)));
  return 0;
}

// Microseconds per call of the workload on `threads` threads at once (wall time / calls).
double WorkloadMicroseconds(int threads) {
  double start = Now();
  if (threads == 1) {
    Workload(kCalls);
  } else {
    HANDLE handles[kThreads];
    for (int t = 0; t < threads; ++t) {
      handles[t] = CreateThread(nullptr, 0, &WorkloadThread,
                                reinterpret_cast<void*>(static_cast<intptr_t>(kCalls / threads)), 0,
                                nullptr);
    }
    WaitForMultipleObjects(threads, handles, TRUE, INFINITE);
    for (int t = 0; t < threads; ++t) CloseHandle(handles[t]);
  }
  return (Now() - start) * 1e6 / kCalls;
}

// The floor: per call, two 100-byte lines each written and flushed to a file on the same
// disk as the log.
double FloorMicroseconds(const std::string& dir) {
  std::string path = dir + "floor.txt";
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  char line[100];
  memset(line, 'x', sizeof line);
  line[98] = '\r';
  line[99] = '\n';
  double start = Now();
  for (int i = 0; i < kCalls; ++i) {
    for (int half = 0; half < 2; ++half) {
      DWORD written = 0;
      WriteFile(file, line, sizeof line, &written, nullptr);
      FlushFileBuffers(file);
    }
  }
  double perCall = (Now() - start) * 1e6 / kCalls;
  CloseHandle(file);
  DeleteFileA(path.c_str());
  return perCall;
}

void WriteText(const std::string& path, const char* text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
  CloseHandle(file);
}

// The untraced workload under Wine's relay tracer, run by the benchmark job in the same
// boot just before this program, with its trace on the same disk (tools/run-bench.sh):
// its microseconds per call, or -1 when it did not run or wrote no trace.
double RelayMicroseconds() {
  std::string dir = ProgramFolder();
  WIN32_FILE_ATTRIBUTE_DATA trace;
  if (!GetFileAttributesExA((dir + "relay.txt").c_str(), GetFileExInfoStandard, &trace) ||
      trace.nFileSizeLow < static_cast<DWORD>(kCalls) * 2 * 40) {
    return -1;
  }
  double perCall = -1;
  FILE* in = fopen((dir + "relay-result.txt").c_str(), "r");
  if (in != nullptr) {
    if (fscanf(in, "%lf", &perCall) != 1) perCall = -1;
    fclose(in);
  }
  return perCall;
}

int RunWorkloadChild(const char* resultPath) {
  double perCall = WorkloadMicroseconds(1);
  FILE* out = fopen(resultPath, "w");
  if (out == nullptr) return 1;
  fprintf(out, "%f\n", perCall);
  fclose(out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--workload") == 0) return RunWorkloadChild(argv[2]);
  if (argc == 3 && strcmp(argv[1], "--calls") == 0) kCalls = std::max(atoi(argv[2]), 1);

  // Settings and logs beside the program: the benchmark job runs it from the guest's tmpfs,
  // where a flush costs what it costs a user's log, not the emulated disk's milliseconds.
  std::string dir = ProgramFolder() + "qelbench\\";
  CreateDirectoryA(dir.c_str(), nullptr);
  CreateDirectoryA((dir + "logs").c_str(), nullptr);
  WriteText(dir + "Qelvorn.ini", "[Option]\r\nspan=1\r\nmax_size=0\r\n");
  WriteText(dir + "Qelvorn.lst",
            "[Imported]\r\nimported_module=KERNEL32.dll\r\napi=lstrlenA,,,,,,,,,s\r\n"
            "[Import]\r\nimport_module=bench_trace.exe\r\ndll=KERNEL32.dll\r\n");

  double relay = RelayMicroseconds();

  char message[4096];
  if (QelSetUp_(dir.c_str(), (dir + "logs\\").c_str(), message, sizeof message) != 0) {
    std::printf("bench_trace: set-up failed:\n%s\n", message);
    return 1;
  }
  double best[3] = {1e30, 1e30, 1e30};
  for (int round = 0; round < kRounds; ++round) {
    double floor = FloorMicroseconds(dir);
    if (floor < 0) {
      std::printf("bench_trace: the floor's file could not be made (error %lu)\n", GetLastError());
      return 1;
    }
    double one = WorkloadMicroseconds(1);
    double eight = WorkloadMicroseconds(kThreads);
    fprintf(stderr,
            "bench_trace: round %d of %d: floor %.2f us, one thread %.2f us, %d threads %.2f us\n",
            round + 1, kRounds, floor, one, kThreads, eight);
    if (floor < best[0]) best[0] = floor;
    if (one < best[1]) best[1] = one;
    if (eight < best[2]) best[2] = eight;
  }
  QelCleanUp_(message, sizeof message);

  std::printf("bench_trace: lstrlenA traced with tracing active, %d calls, best of %d rounds\n",
              kCalls, kRounds);
  std::printf("  floor: two 100-byte lines written and flushed   %8.2f us\n", best[0]);
  std::printf("  traced call, one thread                         %8.2f us  %5.2f x floor\n",
              best[1], best[1] / best[0]);
  std::printf("  traced call, %d threads at once (wall / calls)   %8.2f us  %5.2f x floor\n",
              kThreads, best[2], best[2] / best[0]);
  if (relay > 0) {
    std::printf("  same workload under the relay tracer           %8.2f us  %5.2f x ours\n", relay,
                relay / best[1]);
  } else {
    std::printf("  relay tracer: no figure (the relay run did not write its trace)\n");
  }
  return 0;
}
