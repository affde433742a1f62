// Local time of day from the system time and a remembered local-time offset.
#include "base/local_clock.h"

#include <windows.h>

#include <atomic>

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

// What a thread knows of the UTC second its last line fell in: within that second only
// the milliseconds change, so a line costs the system-time read and one 32-bit division.
struct ThreadSecond {
  uint64_t start;  // first unit of the second
  TimeOfDay time;  // local hour, minute and second of it
};

// One slot for the process, never freed; each thread's record is allocated on its first
// line and kept for the thread's life.
const DWORD secondSlot = TlsAlloc();

// A zeroed start lies in 1601, so a thread's first line computes its second.
ThreadSecond* ThisThreadSecond() {
  return static_cast<ThreadSecond*>(ThreadRecord(secondSlot, sizeof(ThreadSecond)));
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
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t utc = Units(now);
  ThreadSecond unkept{0, {}};
  ThreadSecond* known = ThisThreadSecond();
  if (known == nullptr) known = &unkept;
  // Unsigned: a reading before the known second (the clock was set back) is outside it too.
  if (utc - known->start >= kUnitsPerSecond) {
    known->start = utc - utc % kUnitsPerSecond;
    known->time = SecondAt(utc);
  }
  TimeOfDay time = known->time;
  time.millisecond = static_cast<uint32_t>(utc - known->start) / 10000;
  return time;
}
