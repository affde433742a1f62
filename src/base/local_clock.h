// Local time of day to the millisecond for the log's clock column, as GetLocalTime would
// give it. The local-time offset is asked again only when the UTC second changes, so a
// new day, a daylight-saving change and a change of time zone show from the next second
// on. A thread's next line reuses its last system-time reading while the processor's
// cycle counter proves that reading's millisecond still current; the system time is read
// again whenever it cannot, and always where it moves in timer ticks.
#pragma once

#include <cstdint>

namespace qelvorn {

struct TimeOfDay {
  uint32_t hour;
  uint32_t minute;
  uint32_t second;
  uint32_t millisecond;
};

TimeOfDay LocalTimeOfDay();
// The same from a UTC time in 100-ns units since 1601 and the local offset in minutes
// (local minus UTC).
TimeOfDay TimeOfDayAt(uint64_t utc, int32_t offsetMinutes);

// How often the calling thread has read the system time for LocalTimeOfDay.
uint32_t SystemTimeReadingsOnThisThread();
// A count for setting two short durations against each other, not a time: the cycle
// counter where it can be read, else the tick count.
uint64_t DurationCount();
// Whether lines may reuse readings: not while the counter's rate is being learned, and
// never again once the counter or the system time failed a check.
bool ClockReadingsReused();

// The reuse proof, in pieces that take their readings as arguments. A rate is a lower
// bound of the counter's ticks per 100-ns unit.
constexpr uint32_t kRateUnknown = 0;
constexpr uint32_t kRateUntrusted = UINT32_MAX;

// What readings taken back to back tell of the system time: it moves finely (in steps no
// longer than half the slack a reused reading keeps), in ticks (a reading repeats, goes
// back, or jumps further than the counter allows), or nothing sure (readings too far
// apart).
enum ClockGrain { kFine, kStepped, kUnsure };

// What a thread knows of the clock; zeroed before its first line.
struct ThreadClock {
  uint64_t start;             // first unit of the UTC second of the thread's last line
  TimeOfDay time;             // local hour, minute and second of it
  uint64_t reading;           // the last system-time reading
  uint64_t readingTick;       // the counter just before it
  uint64_t readingAfter;      // and just after it
  uint64_t reuseTicks;        // ticks after readingTick within which the reading is current
  uint32_t readingTickCount;  // GetTickCount at the reading
  uint64_t anchor;            // the reading an interval for the rate runs from
  uint64_t anchorTick;        // the counter just after it
  uint32_t candidate;         // the rate the last interval gave, until the next one agrees
  uint32_t readings;          // how often the thread read the system time
};

// Applies a reading, with the counter just before and just after it, to the thread's
// record: the rate the process goes by from now on, given the one it went by. A learned
// rate is used only where JudgeClockGrain finds the system time fine.
uint32_t TakeReading(ThreadClock& clock, uint64_t before, uint64_t utc, uint64_t after,
                     uint32_t rate);
// TakeReading, with a rate it has just learned judged by grainOf (the system time's grain,
// read back to back): the rate to go by, kRateUntrusted for good, or kRateUnknown to learn
// again.
uint32_t SettleReading(ThreadClock& clock, uint64_t before, uint64_t utc, uint64_t after,
                       uint32_t rate, ClockGrain (*grainOf)(uint32_t rate));
// The ticks after a reading at utc within which its millisecond is certainly current.
uint64_t TicksWithinMillisecond(uint64_t utc, uint32_t rate);
// A lower bound of the rate from the ticks counted within an interval of units.
uint32_t LowerTickRate(uint64_t ticks, uint64_t units);
// The grain of the system time from count readings taken back to back: ticks[i] was read
// just before readings[i], and ticks[count] after the last.
ClockGrain JudgeClockGrain(const uint64_t* readings, const uint64_t* ticks, int count,
                           uint32_t rate);
// Whether the processor's cycle counter runs at one rate and never stops: the processor
// declares it invariant, or a hypervisor presents it, whose virtual counter follows its
// host's.
bool CounterDeclaredSteady();

}  // namespace qelvorn
