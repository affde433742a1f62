// Local time of day to the millisecond for the log's clock column, as GetLocalTime would
// give it, at the cost of one GetSystemTimeAsFileTime: the local-time offset is asked
// again only when the UTC second changes, so a new day, a daylight-saving change and a
// change of time zone show from the next second on.
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
