// Local time of day to the millisecond for the log's clock column, as GetLocalTime would
// give it, at the cost of one GetSystemTimeAsFileTime: the local-time offset is asked
// again only when the UTC second changes, so a new day, a daylight-saving change and a
// change of time zone show from the next second on. A thread's next line within the same
// millisecond reuses its reading: the processor's cycle counter proves the millisecond
// has not turned, and the system time is read again whenever it cannot.
#pragma once

#include <cstdint>

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

// How often the process has read the system time for LocalTimeOfDay.
uint32_t SystemTimeReadings();

// The reuse proof's arithmetic. A rate is the counter's ticks per 100-ns unit, a lower
// bound of it; 0 means none is known.
// The ticks after a reading at utc within which its millisecond is certainly current.
uint64_t TicksWithinMillisecond(uint64_t utc, uint32_t rate);
// A lower bound of the rate from the ticks counted within an interval of units, kept a
// little below so that the system clock's slewing stays inside it; 0 when unknown.
uint32_t LowerTickRate(uint64_t ticks, uint64_t units);
// Whether a counter that counted at most ticks over units kept at least the rate.
bool CounterKeptRate(uint64_t ticks, uint64_t units, uint32_t rate);
