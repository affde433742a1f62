// Local time of day from the system time, a remembered local-time offset and, between
// readings, the processor's cycle counter.
#include "base/local_clock.h"

#include <windows.h>

#include <cpuid.h>

#include <atomic>

#include "base/exception_guard.h"
#include "base/processor.h"
#include "base/tls_slot.h"

namespace qelvorn {

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

uint64_t ReadSystemTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return Units(now);
}

// Local minus UTC, from GetLocalTime against a UTC reading taken a little before: offsets
// are whole minutes, so the time between the two rounds away. False when the reading's
// second has ended by the time GetLocalTime answers: a daylight-saving change falls at a
// second's start, so the answer may belong to a later second.
bool AskOffset(uint64_t utc, int32_t* offset) {
  SYSTEMTIME local;
  GetLocalTime(&local);
  bool sameSecond = ReadSystemTime() / kUnitsPerSecond == utc / kUnitsPerSecond;
  FILETIME localFile;
  if (!SystemTimeToFileTime(&local, &localFile)) {
    *offset = 0;
    return sameSecond;
  }
  int64_t difference = static_cast<int64_t>(Units(localFile) - utc);
  int64_t half = static_cast<int64_t>(kUnitsPerMinute / 2);
  *offset = static_cast<int32_t>((difference + (difference < 0 ? -half : half)) /
                                 static_cast<int64_t>(kUnitsPerMinute));
  return sameSecond;
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
// A reading is reused only while this much of its millisecond is still ahead: the counter
// is not ordered with the instructions around it, and the system time may be cut to its
// 100-ns unit or move in steps, proved no longer than half of this before any reuse.
constexpr uint64_t kOrderSlack = 80;
// A counter that stopped (its processor idle, or the machine paused) would prove nothing:
// the tick count, which the system keeps on its own, must not have moved further than
// this since the reading, whatever the counter says.
constexpr DWORD kTickCountLeeway = 32;
// The least and the most an interval the rate is learned over may span.
constexpr uint64_t kRateInterval = 10 * kUnitsPerMillisecond;
constexpr uint64_t kRateHorizon = kUnitsPerSecond;

// The rate every thread goes by: unknown until one thread has learned it, and untrusted
// for good once the counter or the system time failed a check.
std::atomic<uint32_t> tickRate{kRateUnknown};

enum CounterState { kUnprobed, kProbing, kUsable, kUnusable };
std::atomic<int> counterState{kUnprobed};

// Usable where it is declared steady and can be read: a system may forbid it in user mode,
// so it is tried once under the guard, and while that runs the other threads do without it.
bool CounterUsable() {
  int state = counterState.load(std::memory_order_acquire);
  if (state == kUnprobed && counterState.compare_exchange_strong(state, kProbing)) {
    bool usable =
        CounterDeclaredSteady() && Guarded([] { ReadCycleCounter(); }) == GuardOutcome::kCompleted;
    if (!usable) tickRate.store(kRateUntrusted, std::memory_order_relaxed);
    state = usable ? kUsable : kUnusable;
    counterState.store(state, std::memory_order_release);
  }
  return state == kUsable;
}

// One slot for the process, never freed; each thread's record is allocated on its first
// line and kept for the thread's life.
const DWORD clockSlot = TlsAlloc();

// A zeroed start lies in 1601, so a thread's first line computes its second.
ThreadClock* ThisThreadClock() {
  return static_cast<ThreadClock*>(ThreadRecord(clockSlot, sizeof(ThreadClock)));
}

// While no rate is known: intervals of at least 10 ms between the thread's readings, each
// counted from just after its first reading to just before its last, so never more ticks
// than passed. Two intervals in a row must agree, so that a clock set during one cannot
// teach a wrong rate; the lower of the two is kept.
uint32_t LearnRate(ThreadClock& clock, uint64_t before, uint64_t utc, uint64_t after) {
  if (clock.anchor == 0 || utc <= clock.anchor || utc - clock.anchor > kRateHorizon) {
    clock.anchor = utc;
    clock.anchorTick = after;
    clock.candidate = kRateUnknown;
    return kRateUnknown;
  }
  if (utc - clock.anchor < kRateInterval) return kRateUnknown;
  uint32_t measured = LowerTickRate(before - clock.anchorTick, utc - clock.anchor);
  uint32_t earlier = clock.candidate;
  clock.anchor = utc;
  clock.anchorTick = after;
  clock.candidate = measured;
  if (measured == kRateUnknown || earlier == kRateUnknown) return kRateUnknown;
  uint32_t low = measured < earlier ? measured : earlier;
  uint32_t high = measured < earlier ? earlier : measured;
  if ((high - low) * 100ull > high) return kRateUnknown;
  return low;
}

// While a rate is known, each reading is compared with the thread's previous one: a
// counter that ran slower than the rate (or stopped), or a system time that stood still
// while the counter shows time passing, could have let a stale millisecond through. A
// clock set forward looks like a slow counter too, and also ends the reuse.
uint32_t CheckRate(const ThreadClock& clock, uint64_t before, uint64_t utc, uint64_t after,
                   uint32_t rate) {
  if (utc < clock.reading) return rate;  // set back: nothing to compare
  uint64_t units = utc - clock.reading;
  // The most units the counter allows; readings are cut to whole units, so they may show
  // one more than passed.
  uint64_t allowed = (after - clock.readingTick) / rate;
  if (units > 1 && allowed < units - 1) return kRateUntrusted;
  if (units == 0 && before - clock.readingAfter >= 2 * kOrderSlack * rate) return kRateUntrusted;
  return rate;
}

// A learned rate is used once the system time proves fine-grained, read back to back:
// where it moves in timer ticks a reading lags the real time by up to a tick, and its
// millisecond may turn at any moment.
ClockGrain SystemTimeGrain(uint32_t rate) {
  constexpr int kReadings = 4;
  uint64_t readings[kReadings];
  uint64_t ticks[kReadings + 1];
  for (int i = 0; i < kReadings; ++i) {
    ticks[i] = ReadCycleCounter();
    readings[i] = ReadSystemTime();
  }
  ticks[kReadings] = ReadCycleCounter();
  return JudgeClockGrain(readings, ticks, kReadings, rate);
}

// The thread's last reading while the counter proves its millisecond current, else a
// new one.
uint64_t CurrentUtc(ThreadClock& clock) {
  if (clock.reuseTicks != 0 && tickRate.load(std::memory_order_relaxed) != kRateUntrusted &&
      ReadCycleCounter() - clock.readingTick < clock.reuseTicks &&
      GetTickCount() - clock.readingTickCount <= kTickCountLeeway) {
    return clock.reading;
  }
  ++clock.readings;
  clock.reuseTicks = 0;
  uint32_t rate = tickRate.load(std::memory_order_relaxed);
  if (rate == kRateUntrusted || !CounterUsable()) return ReadSystemTime();
  uint64_t before = ReadCycleCounter();
  uint64_t utc = ReadSystemTime();
  uint64_t after = ReadCycleCounter();
  clock.readingTickCount = GetTickCount();
  uint32_t next = SettleReading(clock, before, utc, after, rate, SystemTimeGrain);
  if (next == kRateUntrusted) {
    tickRate.store(kRateUntrusted, std::memory_order_relaxed);
    return utc;
  }
  if (next != rate && next != kRateUnknown) {
    // Another thread may have learned it first; the rate set first holds.
    uint32_t expected = kRateUnknown;
    tickRate.compare_exchange_strong(expected, next);
    next = tickRate.load(std::memory_order_relaxed);
  }
  clock.reuseTicks = TicksWithinMillisecond(utc, next);
  return utc;
}

// The local time of the UTC second that holds utc, with the offset asked again when the
// process has not asked it in this second yet. False when the offset could not be asked
// within that second (the time is then the best known, and nothing is remembered).
bool SecondAt(uint64_t utc, TimeOfDay* time) {
  uint64_t second = utc / kUnitsPerSecond;
  uint64_t packed = rememberedOffset.load(std::memory_order_relaxed);
  int32_t offset = 0;
  bool sure = true;
  if ((packed >> 20) == second) {
    offset = static_cast<int32_t>(packed & 0xfffff) - static_cast<int32_t>(kOffsetBias);
  } else {
    sure = AskOffset(utc, &offset);
    if (sure) {
      rememberedOffset.store((second << 20) | static_cast<uint32_t>(offset + kOffsetBias),
                             std::memory_order_relaxed);
    }
  }
  *time = TimeOfDayAt(second * kUnitsPerSecond, offset);
  return sure;
}

}  // namespace

TimeOfDay LocalTimeOfDay() {
  ThreadClock unkept{};
  ThreadClock* known = ThisThreadClock();
  uint64_t utc = 0;
  if (known == nullptr) {
    known = &unkept;
    utc = ReadSystemTime();
  } else {
    utc = CurrentUtc(*known);
  }
  // Unsigned: a reading before the known second (the clock was set back) is outside it too.
  if (utc - known->start >= kUnitsPerSecond) {
    // A second that ended while its offset was asked: the line takes a fresh reading, and
    // the thread reads again for its next line. Once is all but always enough.
    TimeOfDay second;
    for (int attempt = 0; !SecondAt(utc, &second) && attempt < 3; ++attempt) {
      utc = ReadSystemTime();
      known->reuseTicks = 0;
    }
    known->start = utc - utc % kUnitsPerSecond;
    known->time = second;
  }
  TimeOfDay time = known->time;
  time.millisecond = static_cast<uint32_t>(utc - known->start) / 10000;
  return time;
}

uint32_t SystemTimeReadingsOnThisThread() {
  ThreadClock* known = ThisThreadClock();
  return known == nullptr ? 0 : known->readings;
}

bool CounterDeclaredSteady() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  bool counter = (edx & (1u << 4)) != 0;
  bool hypervisor = (ecx & (1u << 31)) != 0;
  bool invariant = __get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx) && (edx & (1u << 8)) != 0;
  return counter && (invariant || hypervisor);
}

uint64_t DurationCount() {
  return CounterUsable() ? ReadCycleCounter() : GetTickCount();
}

bool ClockReadingsReused() {
  uint32_t rate = tickRate.load(std::memory_order_relaxed);
  return rate != kRateUnknown && rate != kRateUntrusted;
}

uint32_t TakeReading(ThreadClock& clock, uint64_t before, uint64_t utc, uint64_t after,
                     uint32_t rate) {
  bool hasPrevious = clock.readingAfter != 0;
  // A counter that ran backwards within or between readings of one thread (as
  // unsynchronised processors' counters can) proves nothing.
  bool backwards = after < before || (hasPrevious && before < clock.readingAfter);
  if (rate != kRateUntrusted && backwards) {
    rate = kRateUntrusted;
  } else if (rate == kRateUnknown) {
    rate = LearnRate(clock, before, utc, after);
  } else if (rate != kRateUntrusted && hasPrevious) {
    rate = CheckRate(clock, before, utc, after, rate);
  }
  clock.reading = utc;
  clock.readingTick = before;
  clock.readingAfter = after;
  return rate;
}

uint32_t SettleReading(ThreadClock& clock, uint64_t before, uint64_t utc, uint64_t after,
                       uint32_t rate, ClockGrain (*grainOf)(uint32_t rate)) {
  uint32_t next = TakeReading(clock, before, utc, after, rate);
  if (next == rate || next == kRateUntrusted || next == kRateUnknown) return next;
  switch (grainOf(next)) {
    case kFine:
      return next;
    case kStepped:
      return kRateUntrusted;
    case kUnsure:
      // Readings too slow to judge by (a busy machine): the thread learns again.
      clock.candidate = kRateUnknown;
      return kRateUnknown;
  }
  return kRateUnknown;
}

uint64_t TicksWithinMillisecond(uint64_t utc, uint32_t rate) {
  uint64_t ahead = kUnitsPerMillisecond - utc % kUnitsPerMillisecond;
  if (rate == kRateUnknown || rate == kRateUntrusted || ahead <= kOrderSlack) return 0;
  return (ahead - kOrderSlack) * rate;
}

uint32_t LowerTickRate(uint64_t ticks, uint64_t units) {
  if (units == 0 || units > kRateHorizon) return kRateUnknown;
  // At least one percent, and one tick, below what was counted: the system time may be
  // slewed by a time service (by well under that), and a lower rate only makes a reused
  // reading rarer.
  uint64_t rate = ticks / units;
  if (rate <= 1 || rate >= kRateUntrusted) return kRateUnknown;
  rate -= rate / 100 + 1;
  return static_cast<uint32_t>(rate);
}

ClockGrain JudgeClockGrain(const uint64_t* readings, const uint64_t* ticks, int count,
                           uint32_t rate) {
  if (rate == kRateUnknown || rate == kRateUntrusted) return kUnsure;
  ClockGrain grain = kFine;
  for (int i = 1; i < count; ++i) {
    if (readings[i] <= readings[i - 1]) return kStepped;
    uint64_t step = readings[i] - readings[i - 1];
    // At most this many units passed between the two readings, plus one as they are cut.
    uint64_t passed = (ticks[i + 1] - ticks[i - 1]) / rate + 1;
    if (step > passed) return kStepped;
    // A step within what passed but beyond half the slack proves nothing either way.
    if (step > kOrderSlack / 2) grain = kUnsure;
  }
  return grain;
}

}  // namespace qelvorn
