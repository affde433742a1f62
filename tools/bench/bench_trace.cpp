// Cost of a traced call with tracing active, against the floor that every traced call must
// pay (two 100-byte lines, each written and flushed), on one thread and on eight at once,
// and against the same workload under Wine's relay tracer (run as "--workload FILE" with
// WINEDEBUG=+relay by the benchmark job). The same with flush=0, against two lines written
// and not flushed. The host imports lstrlenA through its import table and traces it with
// the real DLL, as a new user would. "--dir DIR\" puts the settings, logs and floor files
// in DIR instead of beside the program (the benchmark job's disk run).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_kit.h"

#include "control/exports.h"

namespace {

// Calls per kind of measurement; "--calls N" changes it for the flushed kinds, which cost
// milliseconds a call on a disk. Each kind runs in slices, taken in turn with the other
// kinds' slices: the guest's host drifts by tens of percent within a run, and interleaved
// slices meet the same drift, so the best slice of each kind compares fairly with the
// others'. The flushed and unflushed kinds take turns through a set-up and clean-up each.
int kCalls = 20000;
constexpr int kUnflushedCalls = 20000;
constexpr int kSlices = 10;
constexpr int kThreads = 8;
// Fewer threads at once, as a program with a few busy threads: they must log at least as
// many lines a second as one thread does.
constexpr int kFewThreads = 4;
constexpr char kText[] = "a text of some forty bytes for the log..";

volatile int sink;

// The traced workload: calls through the program's own import slot.
void Workload(int calls) {
  int sum = 0;
  for (int i = 0; i < calls; ++i) sum += lstrlenA(kText);
  sink = sum;
}

// Threads kept for the whole run, so that no slice pays for making them: each waits for
// its go event, runs its share of the slice and signals done.
struct Crew {
  HANDLE go[kThreads];
  HANDLE done[kThreads];
  HANDLE threads[kThreads];
  int callsEach = 0;
  bool quit = false;
};

struct Member {
  Crew* crew;
  int index;
};

DWORD WINAPI CrewThread(void* raw) {
  Member* member = static_cast<Member*>(raw);
  Crew* crew = member->crew;
  for (;;) {
    WaitForSingleObject(crew->go[member->index], INFINITE);
    if (crew->quit) return 0;
    Workload(crew->callsEach);
    SetEvent(crew->done[member->index]);
  }
}

// Makes the crew's threads, after the set-up, as a program's threads are made once it
// traces; false after printing why, when a thread or event cannot be made (its slices would
// time nothing).
bool MakeCrew(Crew& crew) {
  static Member members[kThreads];
  for (int t = 0; t < kThreads; ++t) {
    crew.go[t] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    crew.done[t] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    members[t] = {&crew, t};
    crew.threads[t] = crew.go[t] != nullptr && crew.done[t] != nullptr
                          ? CreateThread(nullptr, 0, &CrewThread, &members[t], 0, nullptr)
                          : nullptr;
    if (crew.threads[t] == nullptr) {
      std::printf("bench_trace: the threads could not be made (error %lu)\n", GetLastError());
      return false;
    }
  }
  return true;
}

// Ends the crew's threads before the clean-up.
void EndCrew(Crew& crew) {
  crew.quit = true;
  for (HANDLE go : crew.go) SetEvent(go);
  WaitForMultipleObjects(kThreads, crew.threads, TRUE, INFINITE);
  for (int t = 0; t < kThreads; ++t) {
    CloseHandle(crew.go[t]);
    CloseHandle(crew.done[t]);
    CloseHandle(crew.threads[t]);
  }
}

// Microseconds per call of one slice of the workload on the crew's first `threads` threads
// (wall time / calls).
double CrewSliceMicroseconds(Crew& crew, int calls, int threads) {
  crew.callsEach = calls / threads;
  double start = Now();
  for (int t = 0; t < threads; ++t) SetEvent(crew.go[t]);
  WaitForMultipleObjects(threads, crew.done, TRUE, INFINITE);
  return (Now() - start) * 1e6 / (crew.callsEach * threads);
}

// Microseconds per call of one slice of the workload on this thread.
double SliceMicroseconds(int calls) {
  double start = Now();
  Workload(calls);
  return (Now() - start) * 1e6 / calls;
}

// The floor: per call, two 100-byte lines each written and flushed (unless not flush) to a
// file on the same disk as the log.
double FloorSliceMicroseconds(HANDLE file, int calls, bool flush) {
  char line[100];
  memset(line, 'x', sizeof line);
  line[98] = '\r';
  line[99] = '\n';
  double start = Now();
  for (int i = 0; i < calls; ++i) {
    for (int half = 0; half < 2; ++half) {
      DWORD written = 0;
      WriteFile(file, line, sizeof line, &written, nullptr);
      if (flush) FlushFileBuffers(file);
    }
  }
  return (Now() - start) * 1e6 / calls;
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
  double perCall = SliceMicroseconds(kCalls);
  FILE* out = fopen(resultPath, "w");
  if (out == nullptr) return 1;
  fprintf(out, "%f\n", perCall);
  fclose(out);
  return 0;
}

}  // namespace

// The settings for one flush value, and a set-up that uses them; false after printing why.
bool StartTracing(const std::string& dir, const char* flush) {
  WriteText(dir + "Qelvorn.ini",
            (std::string("[Option]\r\nspan=1\r\nmax_size=0\r\nflush=") + flush + "\r\n").c_str());
  char message[4096];
  if (QelSetUp_(dir.c_str(), (dir + "logs\\").c_str(), message, sizeof message) == 0) return true;
  std::printf("bench_trace: set-up with flush=%s failed:\n%s\n", flush, message);
  return false;
}

void StopTracing() {
  char message[4096];
  QelCleanUp_(message, sizeof message);
}

// The best slice of each kind, flushed (flush=1 against the flushed floor) and unflushed
// (flush=0 against the unflushed floor).
struct Kinds {
  double floor = 1e30;
  double one = 1e30;
  double few = 1e30;
  double eight = 1e30;
  double ones[kSlices];
  void Take(int slice, double f, double o, double w, double e) {
    floor = std::min(floor, f);
    one = std::min(one, o);
    few = std::min(few, w);
    eight = std::min(eight, e);
    ones[slice] = o;
  }
};

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--workload") == 0) return RunWorkloadChild(argv[2]);
  std::string dir = ProgramFolder() + "qelbench\\";
  bool ownFolder = true;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--calls") == 0) kCalls = std::max(atoi(argv[i + 1]), 1);
    if (strcmp(argv[i], "--dir") == 0) {
      dir = argv[i + 1];
      ownFolder = false;
    }
  }

  // Settings and logs beside the program unless told: the benchmark job runs it from the
  // guest's tmpfs, and again with --dir on the guest's disk.
  CreateDirectoryA(dir.c_str(), nullptr);
  CreateDirectoryA((dir + "logs").c_str(), nullptr);
  WriteText(dir + "Qelvorn.lst",
            "[Imported]\r\nimported_module=KERNEL32.dll\r\napi=lstrlenA,,,,,,,,,s\r\n"
            "[Import]\r\nimport_module=bench_trace.exe\r\ndll=KERNEL32.dll\r\n");

  double relay = ownFolder ? RelayMicroseconds() : -1;

  std::string floorPath = dir + "floor.txt";
  HANDLE floorFile = CreateFileA(floorPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (floorFile == INVALID_HANDLE_VALUE) {
    std::printf("bench_trace: the floor's file could not be made (error %lu)\n", GetLastError());
    return 1;
  }
  // A whole number of calls for each of the crew's threads.
  int sliceCalls = std::max(kCalls / kSlices / kThreads, 1) * kThreads;
  int unflushedSliceCalls = std::max(kUnflushedCalls / kSlices / kThreads, 1) * kThreads;
  Kinds flushed;
  Kinds unflushed;
  // One slice of one flush setting: the floor (flushed or not, as the log), one thread and
  // the crew, under a set-up of its own; the crew is made after it and ended before its
  // clean-up.
  struct Slice {
    double floor, one, few, eight;
  };
  auto runSlice = [&](const char* flush, int calls) {
    Crew crew;
    if (!StartTracing(dir, flush) || !MakeCrew(crew)) ExitProcess(1);
    Slice figures{FloorSliceMicroseconds(floorFile, calls, flush[0] == '1'),
                  SliceMicroseconds(calls), CrewSliceMicroseconds(crew, calls, kFewThreads),
                  CrewSliceMicroseconds(crew, calls, kThreads)};
    EndCrew(crew);
    StopTracing();
    return figures;
  };
  for (int slice = 0; slice < kSlices; ++slice) {
    Slice f = runSlice("1", sliceCalls);
    flushed.Take(slice, f.floor, f.one, f.few, f.eight);
    Slice u = runSlice("0", unflushedSliceCalls);
    unflushed.Take(slice, u.floor, u.one, u.few, u.eight);
    fprintf(stderr,
            "bench_trace: slice %d of %d: floor %.2f us, one thread %.2f us, %d threads %.2f us,"
            " %d threads %.2f us; unflushed %.2f, %.2f, %.2f, %.2f us\n",
            slice + 1, kSlices, f.floor, f.one, kFewThreads, f.few, kThreads, f.eight, u.floor,
            u.one, u.few, u.eight);
  }
  CloseHandle(floorFile);
  DeleteFileA(floorPath.c_str());

  std::printf(
      "bench_trace: lstrlenA traced with tracing active, %d calls of each kind in %d"
      " interleaved slices, best slice of each; log in %s\n",
      sliceCalls * kSlices, kSlices, dir.c_str());
  std::printf("  floor: two 100-byte lines written and flushed   %8.2f us\n", flushed.floor);
  std::printf("  traced call, one thread                         %8.2f us  %5.2f x floor\n",
              flushed.one, flushed.one / flushed.floor);
  std::printf("  traced call, %d threads at once (wall / calls)   %8.2f us  %5.2f x floor\n",
              kFewThreads, flushed.few, flushed.few / flushed.floor);
  std::printf("  traced call, %d threads at once (wall / calls)   %8.2f us  %5.2f x floor\n",
              kThreads, flushed.eight, flushed.eight / flushed.floor);
  // Lines a second on n threads against one thread: the one thread's time per call over
  // the n threads' wall time per call.
  std::printf("  lines per second, %d threads / one thread: %.2f; %d threads / one thread: %.2f\n",
              kFewThreads, flushed.one / flushed.few, kThreads, flushed.one / flushed.eight);
  // The relay run is one long run, so it is set against our median slice, not our best.
  std::sort(flushed.ones, flushed.ones + kSlices);
  double median = flushed.ones[kSlices / 2];
  if (relay > 0) {
    std::printf(
        "  same workload under the relay tracer           %8.2f us  %5.2f x ours"
        " (our median slice %.2f us)\n",
        relay, relay / median, median);
  } else if (ownFolder) {
    std::printf("  relay tracer: no figure (the relay run did not write its trace)\n");
  }
  std::printf("  flush=0, %d calls of each kind:\n", unflushedSliceCalls * kSlices);
  std::printf("  floor: two 100-byte lines written, not flushed  %8.2f us\n", unflushed.floor);
  std::printf(
      "  traced call, one thread, flush=0                %8.2f us  %5.2f x unflushed floor\n",
      unflushed.one, unflushed.one / unflushed.floor);
  std::printf(
      "  traced call, %d threads, flush=0 (wall / calls)  %8.2f us  %5.2f x unflushed floor\n",
      kThreads, unflushed.eight, unflushed.eight / unflushed.floor);
  std::printf("  flush=1 / flush=0, traced call, one thread: %.1f x; %d threads: %.1f x\n",
              flushed.one / unflushed.one, kThreads, flushed.eight / unflushed.eight);
  return 0;
}
