// Cost of a call through a bound HookEntry against a direct call of the same function:
// with tracing inactive, and with the recorders' ThreadGuard raised on the calling thread.
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "base/reentry_depth.h"
#include "bench_entry.h"
#include "bench_kit.h"

using namespace qelvorn;

namespace {

using Target = uint32_t(__stdcall*)(uint32_t, uint32_t);

// Recorders that build their lines cost far more than a bare call, so that kind runs
// fewer calls per round to keep the whole run short under emulation.
constexpr uint32_t kCallsPerRound = 2000000;
constexpr uint32_t kRecordedCallsPerRound = 20000;
constexpr int kRounds = 5;

// Where the sums go, so the calls cannot be dropped as unused.
volatile uint32_t sink;

__attribute__((noinline)) uint32_t __stdcall AddWords(uint32_t a, uint32_t b) {
  return a + b;
}

// Nanoseconds per call for one round; the pointer is read through a volatile so the
// compiler can neither inline nor hoist the call.
double NanosecondsPerCall(Target volatile* target, uint32_t calls) {
  uint32_t sum = 0;
  double start = Now();
  for (uint32_t i = 0; i < calls; ++i) sum += (*target)(i, sum);
  double seconds = Now() - start;
  sink = sum;
  return seconds * 1e9 / calls;
}

}  // namespace

int main() {
  uintptr_t entry =
      BindBenchEntry(BenchRecord("AddWords", "dd", 2, reinterpret_cast<const void*>(&AddWords)));
  if (entry == 0) {
    std::printf("bench_dispatch: binding a HookEntry failed (error %lu)\n", GetLastError());
    return 1;
  }

  static Target volatile direct = &AddWords;
  static Target volatile hooked = reinterpret_cast<Target>(entry);
  if (hooked(20, 22) != 42) {
    std::printf("bench_dispatch: the HookEntry answered a wrong result\n");
    return 1;
  }

  // Rounds interleave the three kinds so drifting machine load hits them alike; the best
  // round of each counts.
  double best[3] = {1e30, 1e30, 1e30};
  for (int round = 0; round < kRounds; ++round) {
    double directNs = NanosecondsPerCall(&direct, kCallsPerRound);
    double inactiveNs = NanosecondsPerCall(&hooked, kRecordedCallsPerRound);
    double guardedNs;
    {
      ThreadGuardScope guard;
      guardedNs = NanosecondsPerCall(&hooked, kCallsPerRound);
    }
    if (directNs < best[0]) best[0] = directNs;
    if (inactiveNs < best[1]) best[1] = inactiveNs;
    if (guardedNs < best[2]) best[2] = guardedNs;
  }

  std::printf("bench_dispatch: stdcall, 2 argument words, best of %d rounds\n", kRounds);
  std::printf("  direct call                          %8.2f ns\n", best[0]);
  std::printf(
      "  HookEntry, tracing inactive          %8.2f ns  %6.2f x direct"
      " (recorders run, nothing written)\n",
      best[1], best[1] / best[0]);
  std::printf("  HookEntry, ThreadGuard raised        %8.2f ns  %6.2f x direct\n", best[2],
              best[2] / best[0]);
  return 0;
}
