// Where a traced call's time goes: each step of building and writing one log line timed
// on its own, in the same run, against the whole traced call and the floor (one 100-byte
// line written and flushed). Built on the library's layers directly, so each step can be
// called alone; the log is on the same disk as the floor's file. The same steps on eight
// threads at once, beside a step of arithmetic alone, show what eight threads gain: how
// much processor time they get together, and how much the log's queue saves. The log's
// write alone is timed again with flush=0 against a bare unflushed write. Last, one
// thread's flushes are timed after pauses and against a flush among eight threads, with a
// thread woken from an address wait: what a hand-over of the log between threads costs
// before any of its own work. "--dir DIR\" puts the log and the floor's file in DIR
// instead of beside the program.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_entry.h"
#include "bench_kit.h"

#include "base/address_wait.h"
#include "base/exception_guard.h"
#include "base/local_clock.h"
#include "base/memory_probe.h"
#include "base/reentry_depth.h"
#include "control/callback_wiring.h"
#include "hookengine/hook_entries.h"
#include "hooklist/api_hook_record.h"
#include "recording/callback_registry.h"
#include "recording/recorder.h"
#include "recording/thread_table.h"
#include "tracelog/line_builder.h"
#include "tracelog/line_queue.h"
#include "tracelog/module_snapshot.h"
#include "tracelog/trace_log.h"
#include "tracelog/value_formatters.h"

using namespace qelvorn;

namespace {

constexpr int kRounds = 3;
constexpr char kText[] = "a text of some forty bytes for the log..";

volatile uint32_t sink;

// Nanoseconds per run of step, best of kRounds rounds of `calls` runs.
template <class F>
double Nanoseconds(int calls, F&& step) {
  double best = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    double start = Now();
    for (int i = 0; i < calls; ++i) step();
    double each = (Now() - start) * 1e9 / calls;
    if (each < best) best = each;
  }
  return best;
}

// Nanoseconds of wall time per run of step when kThreads threads run it at once, each
// `callsEach` times; best of kRounds rounds. The threads are made first and started
// together, so that making them is not timed.
constexpr int kThreads = 8;
template <class F>
double WallNanosecondsOnThreads(int callsEach, F&& step) {
  double best = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        WaitForSingleObject(go, INFINITE);
        for (int i = 0; i < callsEach; ++i) step();
      });
    }
    Sleep(50);
    double start = Now();
    SetEvent(go);
    for (auto& thread : threads) thread.join();
    double each = (Now() - start) * 1e9 / (callsEach * kThreads);
    CloseHandle(go);
    if (each < best) best = each;
  }
  return best;
}

struct Row {
  const char* what;
  double ns;
};

// Work for the processor alone, to show how much of it eight threads get at once.
void Arithmetic() {
  uint32_t value = sink;
  for (int i = 0; i < 1000; ++i) value = value * 1664525u + 1013904223u;
  sink = value;
}

// The mean time of the log's flushes made while run runs, in DurationCount units.
template <class F>
double MeanFlushTime(F&& run) {
  uint32_t flushes = traceLog.flushes;
  uint64_t time = traceLog.flushTime;
  run();
  uint32_t made = traceLog.flushes - flushes;
  return made == 0 ? 0 : static_cast<double>(traceLog.flushTime - time) / made;
}

// Two threads wake each other in turn, each asleep on an address until woken: what a
// writer pays after a flush before its next line can reach the queue. Nanoseconds a turn.
double HandOverNanoseconds(int turns) {
  volatile LONG turn = 0;
  auto play = [&](LONG mine) {
    for (int i = 0; i < turns; ++i) {
      while (turn != mine) WaitWhileWordIs(&turn, 1 - mine, 100, kYieldRounds);
      InterlockedExchange(&turn, 1 - mine);
      WakeWordWaiter(&turn);
    }
  };
  double start = Now();
  std::thread other(play, 1);
  play(0);
  other.join();
  return (Now() - start) * 1e9 / (2.0 * turns);
}

// Runs measure with the log's file taken away, so that a line is built but not written.
template <class F>
double WithoutLogFile(F&& measure) {
  HANDLE file = traceLog.file;
  traceLog.file = INVALID_HANDLE_VALUE;
  double ns = measure();
  traceLog.file = file;
  return ns;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = ProgramFolder() + "qelline\\";
  // On a disk a flush costs milliseconds: "--writes N" takes fewer flushed writes.
  int writes = 5000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
    if (strcmp(argv[i], "--writes") == 0) writes = std::max(atoi(argv[i + 1]), 2);
  }
  CreateDirectoryA(dir.c_str(), nullptr);

  snprintf(traceLog.directory, sizeof traceLog.directory, "%s", dir.c_str());
  traceLog.maxSize = 0;
  if (!CreateLogFile() || !moduleSnapshot.Take()) {
    std::printf("bench_line: the log could not be set up (error %lu)\n", GetLastError());
    return 1;
  }
  traceLog.active = true;
  InstallCallbacks();

  ApiHookRecord* record = BenchRecord("lstrlenA", "s", 1, reinterpret_cast<const void*>(&lstrlenA));
  uintptr_t entry = BindBenchEntry(record);
  if (entry == 0) {
    std::printf("bench_line: binding a HookEntry failed (error %lu)\n", GetLastError());
    return 1;
  }
  using Target = int(__stdcall*)(const char*);
  static Target volatile traced = reinterpret_cast<Target>(entry);

  std::string floorPath = dir + "floor.txt";
  HANDLE floorFile = CreateFileA(floorPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (floorFile == INVALID_HANDLE_VALUE) {
    std::printf("bench_line: the floor's file could not be made (error %lu)\n", GetLastError());
    return 1;
  }
  char hundred[100];
  memset(hundred, 'x', sizeof hundred);
  hundred[98] = '\r';
  hundred[99] = '\n';

  ArgWord arg = reinterpret_cast<ArgWord>(kText);
  CallFrame frame{};
  frame.returnAddress = reinterpret_cast<uintptr_t>(&main) + 16;
  frame.args = &arg;
  frame.argCount = 1;
  frame.record = record;
  char buffer[kLineCapacity];
  LineBuilder line;
  line.Attach(buffer, sizeof buffer);
  char announcement[260];
  bool isNew = false;
  ThreadNumberForLine(announcement, &isNew);

  // The steps timed on one thread and again on eight.
  auto floorWrite = [&] {
    DWORD written = 0;
    WriteFile(floorFile, hundred, sizeof hundred, &written, nullptr);
    FlushFileBuffers(floorFile);
  };
  auto logWrite = [&] { WriteBytes(hundred, sizeof hundred, false); };
  auto bareWrite = [&] {
    DWORD written = 0;
    WriteFile(floorFile, hundred, sizeof hundred, &written, nullptr);
  };
  // The log's write with flush=0, the setting put back after.
  auto unflushed = [&](auto&& measure) {
    traceLog.flushEachWrite = false;
    double ns = measure();
    traceLog.flushEachWrite = true;
    return ns;
  };
  auto preLine = [&] { RecordPre(&frame); };

  // What eight threads writing to the log do: how many lines share a flush, how many find
  // the log busy and wait in the queue, and how often the waits yield or sleep.
  double linesPerFlush = 0;
  double queuedShare = 0;
  double yieldsPerLine = 0;
  double sleepsPerLine = 0;
  // The flushes timed at one thread's pace against the wall time: what is left is time the
  // log spent waiting for lines, or writing slower than one thread alone writes.
  double oneWriteNs = 0;
  double flushShare = 0;
  // A flush's time on eight threads against one thread's flushes back to back.
  double oneFlushTime = 0;
  double eightFlushTime = 0;
  // How many lines read the system time themselves instead of reusing a reading.
  double readingsPerLine = 0;
  // The rows that write without a flush, or write nothing, take the full count.
  constexpr int kWrites = 5000;
  constexpr int kSteps = 200000;
  Row rows[] = {
      {"floor: WriteFile + FlushFileBuffers, 100 bytes", Nanoseconds(writes, floorWrite)},
      {"whole traced call (two lines)", Nanoseconds(writes / 2, [&] { sink = traced(kText); })},
      {"pre recorder, whole line written",
       [&] {
         uint32_t before = SystemTimeReadingsOnThisThread();
         double ns = Nanoseconds(writes, preLine);
         readingsPerLine =
             (SystemTimeReadingsOnThisThread() - before) / static_cast<double>(kRounds * writes);
         return ns;
       }()},
      {"log write of a 100-byte line (lock, write, flush)",
       [&] {
         oneFlushTime = MeanFlushTime([&] { oneWriteNs = Nanoseconds(writes, logWrite); });
         return oneWriteNs;
       }()},
      {"bare WriteFile of 100 bytes, not flushed", Nanoseconds(kWrites, bareWrite)},
      {"log write of a 100-byte line, flush=0 (lock, write)",
       unflushed([&] { return Nanoseconds(kWrites, logWrite); })},
      {"pre recorder, no file to write to",
       WithoutLogFile([&] { return Nanoseconds(kWrites, preLine); })},
      {"processor step (1,000 multiply-adds), one thread", Nanoseconds(kSteps / 20, Arithmetic)},
      {"8 threads: processor step (wall / steps)",
       WallNanosecondsOnThreads(kSteps / 20, Arithmetic)},
      {"8 threads: log write of a 100-byte line (wall / lines)",
       [&] {
         uint32_t before = traceLog.flushes;
         uint32_t queuedBefore = LinesEverQueued();
         WaitRounds roundsBefore = WaitRoundsSoFar();
         double ns = 0;
         eightFlushTime =
             MeanFlushTime([&] { ns = WallNanosecondsOnThreads(writes / 2, logWrite); });
         double lines = kRounds * kThreads * (writes / 2);
         linesPerFlush = lines / (traceLog.flushes - before);
         queuedShare = (LinesEverQueued() - queuedBefore) / lines;
         WaitRounds roundsAfter = WaitRoundsSoFar();
         yieldsPerLine = (roundsAfter.yielded - roundsBefore.yielded) / lines;
         sleepsPerLine = (roundsAfter.slept - roundsBefore.slept) / lines;
         flushShare = oneWriteNs / (linesPerFlush * ns);
         return ns;
       }()},
      {"8 threads: log write, flush=0 (wall / lines)",
       unflushed([&] { return WallNanosecondsOnThreads(kWrites / 2, logWrite); })},
      {"hand-over to a thread asleep on an address (a turn)", HandOverNanoseconds(kWrites / 5)},
      {"8 threads: a yield to another thread (wall / yields)",
       WallNanosecondsOnThreads(kWrites, [] { SwitchToThread(); })},
      {"8 threads: bare write + flush, no tracer (wall / lines)",
       WallNanosecondsOnThreads(writes / 2, floorWrite)},
      {"8 threads: pre recorder, whole line (wall / lines)",
       WallNanosecondsOnThreads(writes / 2, preLine)},
      {"8 threads: pre recorder, no file (wall / lines)",
       WithoutLogFile([&] { return WallNanosecondsOnThreads(kWrites / 2, preLine); })},
      {"  GetSystemTimeAsFileTime", Nanoseconds(kSteps,
                                                [&] {
                                                  FILETIME now;
                                                  GetSystemTimeAsFileTime(&now);
                                                  sink = now.dwLowDateTime;
                                                })},
      {"  local time of day", Nanoseconds(kSteps, [&] { sink = LocalTimeOfDay().millisecond; })},
      {"  thread number",
       Nanoseconds(kSteps, [&] { sink = ThreadNumberForLine(announcement, &isNew); })},
      {"  call columns (clock, thread, three words)",
       Nanoseconds(kSteps,
                   [&] {
                     line.AppendCallColumns(1, frame.returnAddress, nullptr);
                     line.Clear();
                   })},
      {"  hex column", Nanoseconds(kSteps,
                                   [&] {
                                     line.AppendHex32(0x12345678);
                                     line.Clear();
                                   })},
      {"  module of the return address",
       Nanoseconds(kSteps,
                   [&] { sink = moduleSnapshot.FindByAddress(frame.returnAddress) != nullptr; })},
      {"  guarded empty step", Nanoseconds(kSteps, [&] { Guarded([] {}); })},
      {"  readability of the traced text",
       Nanoseconds(kSteps, [&] { sink = ReadableBytes(kText, 259); })},
      {"  traced text argument, guarded", Nanoseconds(kSteps,
                                                      [&] {
                                                        Guarded([&] {
                                                          AppendArgument(line, &arg, 1, 's');
                                                        });
                                                        line.Clear();
                                                      })},
      {"  callback looked up by name",
       Nanoseconds(kSteps, [&] { sink = FindCallback("WaitForSingleObject_Pre") != nullptr; })},
      {"  reentry depth raised and lowered", Nanoseconds(kSteps,
                                                         [&] {
                                                           RaiseThreadGuard();
                                                           LowerThreadGuard();
                                                         })},
      {"  last error read and put back",
       Nanoseconds(kSteps, [&] { SetLastError(GetLastError()); })},
      {"  log lock taken and left", Nanoseconds(kSteps,
                                                [&] {
                                                  HoldLogLock();
                                                  ReleaseLogLock();
                                                })},
  };
  // One thread's flushes where something comes between them, as the lines of many threads
  // do, and of lines as long as eight threads' together: where a flush after a pause costs
  // more than one right after the last, no hand-over between threads can reach the floor.
  char eightLines[800];
  memset(eightLines, 'y', sizeof eightLines);
  eightLines[sizeof eightLines - 2] = '\r';
  eightLines[sizeof eightLines - 1] = '\n';
  int probes = std::min(writes, 500);
  auto flushAfter = [&](auto&& pause) {
    return MeanFlushTime([&] {
      for (int i = 0; i < probes; ++i) {
        WriteBytes(hundred, sizeof hundred, false);
        pause();
      }
    });
  };
  double backToBack = flushAfter([] {});
  double afterSteps = flushAfter([] {
    for (int i = 0; i < 300; ++i) Arithmetic();
  });
  double afterSleep = flushAfter([] { Sleep(1); });
  double longLines = MeanFlushTime([&] {
    for (int i = 0; i < probes; ++i) WriteBytes(eightLines, sizeof eightLines, false);
  });
  CloseHandle(floorFile);
  DeleteFileA(floorPath.c_str());
  traceLog.active = false;
  CloseLogFile();

  double floorLine = rows[0].ns;
  std::printf("bench_line: one traced call's steps, best of %d rounds (x: / one floor line)\n",
              kRounds);
  for (const Row& row : rows) {
    std::printf("  %-52s %10.0f ns  %6.2f x\n", row.what, row.ns, row.ns / floorLine);
  }
  std::printf(
      "  8 threads writing to the log: %.2f lines per flush, %.0f%% of lines queued behind"
      " a holder,\n    %.2f yields and %.3f sleeps per line; its flushes at one thread's pace"
      " take %.0f%% of the wall time\n",
      linesPerFlush, 100 * queuedShare, yieldsPerLine, sleepsPerLine, 100 * flushShare);
  auto against = [](double time, double base) { return base > 0 ? time / base : 0; };
  std::printf(
      "  a flush among 8 threads takes %.2f x one thread's; one thread's flush after 300"
      " processor steps\n    %.2f x one right after the last, after Sleep(1) %.2f x,"
      " of 800 bytes %.2f x\n",
      against(eightFlushTime, oneFlushTime), against(afterSteps, backToBack),
      against(afterSleep, backToBack), against(longLines, backToBack));
  std::printf("  system-time readings per line, whole lines on one thread: %.3f\n",
              readingsPerLine);
  return 0;
}
