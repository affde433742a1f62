// Local time of day from the system time and a remembered local-time offset.
#include "base/local_clock.h"

#include <windows.h>

#include <atomic>

#include "base/exception_guard.h"
#include "base/tls_slot.h"

namespace {

constexpr uint64_t kUnitsPerSecond = 10000000;
constexpr uint64_t kUnitsPerMinute = 60 * kUnitsPerSecond;
constexpr uint32_t kOffsetBias = 1 << 19;  // keeps the packed offset non-negative

// The UTC second the offset was asked in (high bits) and the offset in minutes plus
// kOffsetBias (low 20 bits), in one word so that threads never see a torn pair.
std::atomic<uint64_t> rememberedOffset{0};

uint64_t Units(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Local minus UTC, from GetLocalTime against a UTC reading taken just before: offsets
// are whole minutes, so the microseconds between the two readings round away.
int32_t AskOffset(uint64_t utc) {
  SYSTEMTIME local;
  GetLocalTime(&local);
  FILETIME localFile;
  if (!SystemTimeToFileTime(&local, &localFile)) return 0;
  int64_t difference = static_cast<int64_t>(Units(localFile) - utc);
  int64_t half = static_cast<int64_t>(kUnitsPerMinute / 2);
  return static_cast<int32_t>((difference + (difference < 0 ? -half : half)) /
                              static_cast<int64_t>(kUnitsPerMinute));
}

}  // namespace

TimeOfDay TimeOfDayAt(uint64_t utc, int32_t offsetMinutes) {
  uint64_t local =
      utc + static_cast<uint64_t>(static_cast<int64_t>(offsetMinutes)) * kUnitsPerMinute;
  uint64_t milliseconds = local / 10000;
  TimeOfDay time;
  time.millisecond = static_cast<uint32_t>(milliseconds % 1000);
  time.second = static_cast<uint32_t>(milliseconds / 1000 % 60);
  time.minute = static_cast<uint32_t>(milliseconds / 60000 % 60);
  time.hour = static_cast<uint32_t>(milliseconds / 3600000 % 24);
  return time;
}

namespace {

constexpr uint64_t kUnitsPerMillisecond = 10000;
// The counter is not ordered with the instructions around it: a reading is reused only
// while this much of its millisecond is still ahead.
constexpr uint64_t kOrderSlack = 20;
// The least interval a rate is learned over, and the most a reading is compared over.
constexpr uint64_t kRateInterval = 10 * kUnitsPerMillisecond;
constexpr uint64_t kRateHorizon = kUnitsPerSecond;
constexpr uint32_t kRateUnknown = 0;
constexpr uint32_t kRateUntrusted = UINT32_MAX;

// The counter's rate for the whole process, learned once; kRateUntrusted for good once
// the counter was seen to run slower than it, to run backwards, or to fault.
std::atomic<uint32_t> tickRate{kRateUnknown};
std::atomic<uint32_t> readings{0};

enum CounterState { kUnprobed, kProbing, kUsable, kUnusable };
std::atomic<int> counterState{kUnprobed};

uint64_t ReadCycleCounter() {
  uint64_t ticks;
  asm volatile("rdtsc" : "=A"(ticks));
  return ticks;
}

// A system may forbid the counter in user mode; it is tried once under the guard, and
// while that runs the other threads do without it.
bool CounterUsable() {
  int state = counterState.load(std::memory_order_acquire);
  if (state == kUnprobed && counterState.compare_exchange_strong(state, kProbing)) {
    bool usable = Guarded([] { ReadCycleCounter(); }) == GuardOutcome::kCompleted;
    if (!usable) tickRate.store(kRateUntrusted, std::memory_order_relaxed);
    state = usable ? kUsable : kUnusable;
    counterState.store(state, std::memory_order_release);
  }
  return state == kUsable;
}

uint64_t ReadSystemTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  readings.fetch_add(1, std::memory_order_relaxed);
  return Units(now);
}

// What a thread knows: the UTC second its last line fell in (within it only the
// milliseconds change), and its last system-time reading with the counter around it.
struct ThreadClock {
  uint64_t start;  // first unit of the second
  TimeOfDay time;  // local hour, minute and second of it
  uint64_t reading;
  uint64_t readingTick;  // the counter just before the reading
  uint64_t reuseTicks;   // ticks after readingTick within which the reading is current
  uint64_t anchor;       // an earlier reading the rate is learned from
  uint64_t anchorTick;   // the counter just after it
};

// One slot for the process, never freed; each thread's record is allocated on its first
// line and kept for the thread's life.
const DWORD clockSlot = TlsAlloc();

// A zeroed start lies in 1601, so a thread's first line computes its second.
ThreadClock* ThisThreadClock() {
  return static_cast<ThreadClock*>(ThreadRecord(clockSlot, sizeof(ThreadClock)));
}

// The counter's ticks between two readings of the thread are at least the ticks from
// just after the first to just before the second; the first thread to have 10 ms of
// them sets the rate for all.
uint32_t LearnRate(ThreadClock& clock, uint64_t before, uint64_t utc, uint64_t after) {
  if (clock.anchor == 0 || utc <= clock.anchor || utc - clock.anchor > kRateHorizon ||
      before < clock.anchorTick) {
    clock.anchor = utc;
    clock.anchorTick = after;
    return kRateUnknown;
  }
  if (utc - clock.anchor < kRateInterval) return kRateUnknown;
  uint32_t expected = kRateUnknown;
  uint32_t rate = LowerTickRate(before - clock.anchorTick, utc - clock.anchor);
  if (rate != kRateUnknown) tickRate.compare_exchange_strong(expected, rate);
  return tickRate.load(std::memory_order_relaxed);
}

// Each new reading checks the rate against the thread's previous one: a counter that
// ran slower than the rate, or backwards, would have let a stale millisecond through, so
// none is reused again.
uint32_t CheckRate(const ThreadClock& clock, uint64_t utc, uint64_t after, uint32_t rate) {
  if (clock.reading == 0 || utc <= clock.reading || utc - clock.reading > kRateHorizon) {
    return rate;
  }
  if (after >= clock.readingTick &&
      CounterKeptRate(after - clock.readingTick, utc - clock.reading, rate)) {
    return rate;
  }
  tickRate.store(kRateUntrusted, std::memory_order_relaxed);
  return kRateUntrusted;
}

// The thread's last reading while the counter proves its millisecond current, else a
// new one.
uint64_t CurrentUtc(ThreadClock& clock) {
  if (clock.reuseTicks != 0 && tickRate.load(std::memory_order_relaxed) != kRateUntrusted &&
      ReadCycleCounter() - clock.readingTick < clock.reuseTicks) {
    return clock.reading;
  }
  if (!CounterUsable()) return ReadSystemTime();
  uint64_t before = ReadCycleCounter();
  uint64_t utc = ReadSystemTime();
  uint64_t after = ReadCycleCounter();
  uint32_t rate = tickRate.load(std::memory_order_relaxed);
  if (rate == kRateUnknown) {
    rate = LearnRate(clock, before, utc, after);
  } else if (rate != kRateUntrusted) {
    rate = CheckRate(clock, utc, after, rate);
  }
  clock.reading = utc;
  clock.readingTick = before;
  clock.reuseTicks = rate == kRateUntrusted ? 0 : TicksWithinMillisecond(utc, rate);
  return utc;
}

// The local time of the UTC second that holds utc, with the offset asked again when the
// process has not asked it in this second yet.
TimeOfDay SecondAt(uint64_t utc) {
  uint64_t second = utc / kUnitsPerSecond;
  uint64_t packed = rememberedOffset.load(std::memory_order_relaxed);
  int32_t offset = 0;
  if ((packed >> 20) == second) {
    offset = static_cast<int32_t>(packed & 0xfffff) - static_cast<int32_t>(kOffsetBias);
  } else {
    offset = AskOffset(utc);
    rememberedOffset.store((second << 20) | static_cast<uint32_t>(offset + kOffsetBias),
                           std::memory_order_relaxed);
  }
  return TimeOfDayAt(second * kUnitsPerSecond, offset);
}

}  // namespace

TimeOfDay LocalTimeOfDay() {
  ThreadClock unkept{};
  ThreadClock* known = ThisThreadClock();
  if (known == nullptr) known = &unkept;
  uint64_t utc = CurrentUtc(*known);
  // Unsigned: a reading before the known second (the clock was set back) is outside it too.
  if (utc - known->start >= kUnitsPerSecond) {
    known->start = utc - utc % kUnitsPerSecond;
    known->time = SecondAt(utc);
  }
  TimeOfDay time = known->time;
  time.millisecond = static_cast<uint32_t>(utc - known->start) / 10000;
  return time;
}

uint32_t SystemTimeReadings() {
  return readings.load(std::memory_order_relaxed);
}

uint64_t TicksWithinMillisecond(uint64_t utc, uint32_t rate) {
  uint64_t ahead = kUnitsPerMillisecond - utc % kUnitsPerMillisecond;
  if (rate == kRateUnknown || rate == kRateUntrusted || ahead <= kOrderSlack) return 0;
  return (ahead - kOrderSlack) * rate;
}

uint32_t LowerTickRate(uint64_t ticks, uint64_t units) {
  if (units == 0 || units > kRateHorizon) return kRateUnknown;
  // One percent below what was counted: the system clock may be slewed by a time service
  // (by well under that), and a slower rate only makes a reused reading rarer.
  uint64_t rate = ticks / units;
  rate -= rate / 100;
  if (rate == 0 || rate >= kRateUntrusted) return kRateUnknown;
  return static_cast<uint32_t>(rate);
}

bool CounterKeptRate(uint64_t ticks, uint64_t units, uint32_t rate) {
  return units <= kRateHorizon && ticks >= units * rate;
}
