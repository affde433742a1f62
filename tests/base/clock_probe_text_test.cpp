// The local clock, the readability memory and the character-safe cut.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "base/local_clock.h"
#include "base/memory_probe.h"
#include "base/text_cut.h"

using namespace qelvorn;

namespace {

constexpr uint64_t kMinute = 600000000ull;
constexpr uint64_t kDay = 1440 * kMinute;
// 2025-12-12 00:00:00 UTC in 100-ns units since 1601.
constexpr uint64_t kMidnight = 134099712000000000ull;

TEST(LocalClock, TimeOfDayRows) {
  struct Row {
    const char* name;
    uint64_t utc;
    int32_t offset;
    TimeOfDay expected;
  } rows[] = {
      {"utc midnight", kMidnight, 0, {0, 0, 0, 0}},
      {"last millisecond of the day", kMidnight - 10000, 0, {23, 59, 59, 999}},
      {"east of utc crosses into the next day", kMidnight - 30 * kMinute, 540, {8, 30, 0, 0}},
      {"west of utc falls into the previous day", kMidnight + 90 * kMinute, -300, {20, 30, 0, 0}},
      {"half-hour zone", kMidnight + 123456789, 330, {5, 30, 12, 345}},
      {"sub-millisecond units are cut, not rounded", kMidnight + 9999, 0, {0, 0, 0, 0}},
      {"a whole day later", kMidnight + kDay + 61 * 10000000ull, 0, {0, 1, 1, 0}},
  };
  for (const Row& row : rows) {
    TimeOfDay t = TimeOfDayAt(row.utc, row.offset);
    EXPECT_EQ(row.expected.hour, t.hour) << row.name;
    EXPECT_EQ(row.expected.minute, t.minute) << row.name;
    EXPECT_EQ(row.expected.second, t.second) << row.name;
    EXPECT_EQ(row.expected.millisecond, t.millisecond) << row.name;
  }
}

uint32_t MillisecondOfDay(uint32_t h, uint32_t m, uint32_t s, uint32_t ms) {
  return ((h * 60 + m) * 60 + s) * 1000 + ms;
}

// Reads the clock between two GetLocalTime calls, count times, and answers how many
// readings fell outside their bracket.
int ReadingsOutsideGetLocalTime(int count) {
  int outside = 0;
  for (int i = 0; i < count; ++i) {
    SYSTEMTIME before;
    GetLocalTime(&before);
    TimeOfDay ours = LocalTimeOfDay();
    SYSTEMTIME after;
    GetLocalTime(&after);
    uint32_t low =
        MillisecondOfDay(before.wHour, before.wMinute, before.wSecond, before.wMilliseconds);
    uint32_t high =
        MillisecondOfDay(after.wHour, after.wMinute, after.wSecond, after.wMilliseconds);
    uint32_t mine = MillisecondOfDay(ours.hour, ours.minute, ours.second, ours.millisecond);
    if (high < low) continue;  // midnight fell between the readings
    if (mine < low || mine > high) ++outside;
  }
  return outside;
}

// Whether the system time moved between each of four readings taken back to back. Where
// it moves in timer ticks, as on many Windows systems, lines never reuse a reading.
bool SystemTimeMovesFinely() {
  uint64_t previous = 0;
  for (int i = 0; i < 4; ++i) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t units = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    if (i > 0 && units == previous) return false;
    previous = units;
  }
  return true;
}

// Two intervals of more than 10 ms between the thread's readings teach the counter's rate;
// on a busy machine the readings that judge the system time may come too far apart to
// tell, and the thread learns again.
void LetTheRateBeLearned() {
  for (int i = 0; i < 30 && !ClockReadingsReused(); ++i) {
    LocalTimeOfDay();
    Sleep(12);
  }
}

// A thread keeps what it knows of the current second and reuses a reading within its
// millisecond, so the readings go on across the next second's start (the run sleeps
// until just before it) and across many millisecond turns. Where the system time moves
// finely and the counter is declared steady (as in the test guest, an emulator that sets
// the hypervisor bit), most lines must have reused a reading, or the shortcut never ran.
TEST(LocalClock, AgreesWithGetLocalTimeAcrossASecond) {
  LetTheRateBeLearned();
  if (ClockReadingsReused()) {
    EXPECT_TRUE(SystemTimeMovesFinely());
  }
  if (SystemTimeMovesFinely() && CounterDeclaredSteady()) {
    EXPECT_TRUE(ClockReadingsReused());
  }
  SYSTEMTIME start;
  GetLocalTime(&start);
  if (start.wMilliseconds < 980) Sleep(980 - start.wMilliseconds);
  constexpr int kReadings = 4000;
  uint32_t systemReadings = SystemTimeReadingsOnThisThread();
  EXPECT_EQ(0, ReadingsOutsideGetLocalTime(kReadings));
  uint32_t read = SystemTimeReadingsOnThisThread() - systemReadings;
  if (ClockReadingsReused()) {
    EXPECT_LT(read, static_cast<uint32_t>(kReadings / 2));
  } else {
    EXPECT_EQ(static_cast<uint32_t>(kReadings), read);
  }
}

// Threads share the learned rate and keep their own readings; the guest's two processors
// move them between each other.
TEST(LocalClock, AgreesWithGetLocalTimeOnFourThreads) {
  LetTheRateBeLearned();
  constexpr int kThreads = 4;
  int outside[kThreads] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&outside, i] { outside[i] = ReadingsOutsideGetLocalTime(3000); });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(0, outside[i]) << "thread " << i;
}

// A reading for TakeReading: the system time it gave and the counter just before and
// just after it.
struct Reading {
  uint64_t utc;
  uint64_t before;
  uint64_t after;
};

// A counter at 200 ticks per unit, and a reading that takes 15 units (1.5 us), taken at
// real time `at` while the system time shows utc.
Reading At(uint64_t at, uint64_t utc) {
  return {utc, at * 200, (at + 15) * 200};
}

constexpr uint64_t kTenMs = 100000;
constexpr uint64_t kSecond = 10000000;

TEST(LocalClock, TakeReadingRows) {
  constexpr uint64_t M = kMidnight;
  constexpr uint32_t kKnown = 197;  // what two intervals at 200 ticks per unit teach
  struct Row {
    const char* name;
    uint32_t rate;
    std::vector<Reading> readings;
    uint32_t expected;
  } rows[] = {
      {"two 10 ms intervals that agree teach the lower bound",
       kRateUnknown,
       {At(0, M), At(kTenMs, M + kTenMs), At(2 * kTenMs, M + 2 * kTenMs)},
       kKnown},
      {"intervals a little apart teach the lower: the earlier",
       kRateUnknown,
       {{M, 0, 3000}, {M + kTenMs, 20153000, 20156000}, {M + 2 * kTenMs, 40156000, 40159000}},
       kKnown},
      {"intervals a little apart teach the lower: the later",
       kRateUnknown,
       {{M, 0, 3000}, {M + kTenMs, 20003000, 20006000}, {M + 2 * kTenMs, 40156000, 40159000}},
       kKnown},
      {"one interval alone teaches nothing",
       kRateUnknown,
       {At(0, M), At(kTenMs, M + kTenMs)},
       kRateUnknown},
      {"shorter than 10 ms teaches nothing",
       kRateUnknown,
       {At(0, M), At(5000, M + 5000), At(9000, M + 9000)},
       kRateUnknown},
      {"a clock set back during an interval: the two disagree",
       kRateUnknown,
       {At(0, M), At(15 * kTenMs / 10, M + kTenMs), At(25 * kTenMs / 10, M + 2 * kTenMs)},
       kRateUnknown},
      {"a counter that ran back between readings while learning",
       kRateUnknown,
       {At(0, M), {M + 100, 1000, 4000}},
       kRateUntrusted},
      {"a counter that ran back within a reading", kRateUnknown, {{M, 5000, 4000}}, kRateUntrusted},
      {"a counter that kept the rate", kKnown, {At(0, M), At(1000, M + 1000)}, kKnown},
      {"a counter slower than the rate",
       kKnown,
       {At(0, M), {M + 1000, 100000, 103000}},
       kRateUntrusted},
      {"a counter that ran back between readings",
       kKnown,
       {At(0, M), {M + 1000, 1000, 4000}},
       kRateUntrusted},
      {"the same reading again 20 us later: the clock moves in ticks",
       kKnown,
       {At(0, M), At(200, M)},
       kRateUntrusted},
      {"the same reading again right after: within the slack",
       kKnown,
       {At(0, M), At(20, M)},
       kKnown},
      {"a reading a unit ahead of the counter: readings are cut to whole units",
       kKnown,
       {{M, 0, 40}, {M + 2, 200, 240}},
       kKnown},
      {"two units ahead of the counter: more than the cut explains",
       kKnown,
       {{M, 0, 40}, {M + 3, 200, 240}},
       kRateUntrusted},
      {"a clock set back: nothing to compare", kKnown, {At(0, M), At(1000, M - kSecond)}, kKnown},
      {"a clock set forward ends the reuse too",
       kKnown,
       {At(0, M), At(1000, M + kSecond)},
       kRateUntrusted},
      {"a long gap the counter kept", kKnown, {At(0, M), At(2 * kSecond, M + 2 * kSecond)}, kKnown},
      {"a long gap the counter slept through",
       kKnown,
       {At(0, M), {M + 2 * kSecond, 5000, 8000}},
       kRateUntrusted},
      {"distrust is for good", kRateUntrusted, {At(0, M), At(1000, M + 1000)}, kRateUntrusted},
  };
  for (const Row& row : rows) {
    ThreadClock clock{};
    uint32_t rate = row.rate;
    for (const Reading& reading : row.readings) {
      rate = TakeReading(clock, reading.before, reading.utc, reading.after, rate);
    }
    EXPECT_EQ(row.expected, rate) << row.name;
  }
}

// A rate just learned is used only once the system time's grain is judged fine; ticks end
// the reuse for good, and an unsure judgement makes the thread learn over two new intervals.
TEST(LocalClock, SettleReadingRows) {
  constexpr uint64_t M = kMidnight;
  using Grain = ClockGrain (*)(uint32_t);
  Grain fine = [](uint32_t) { return kFine; };
  Grain stepped = [](uint32_t) { return kStepped; };
  Grain unsure = [](uint32_t) { return kUnsure; };
  struct Row {
    const char* name;
    std::vector<Grain> judged;  // the judgement met at each reading after the first
    uint32_t expected;
  } rows[] = {
      {"fine: the rate is used", {fine, fine}, 197},
      {"in ticks: never", {stepped, stepped}, kRateUntrusted},
      {"unsure: learned again", {unsure, unsure}, kRateUnknown},
      {"unsure, then one interval: not enough", {unsure, unsure, fine}, kRateUnknown},
      {"unsure, then two intervals that agree", {unsure, unsure, fine, fine}, 197},
  };
  for (const Row& row : rows) {
    ThreadClock clock{};
    Reading first = At(0, M);
    uint32_t rate = SettleReading(clock, first.before, first.utc, first.after, kRateUnknown, fine);
    for (size_t i = 0; i < row.judged.size(); ++i) {
      Reading reading = At((i + 1) * kTenMs, M + (i + 1) * kTenMs);
      rate = SettleReading(clock, reading.before, reading.utc, reading.after, rate, row.judged[i]);
    }
    EXPECT_EQ(row.expected, rate) << row.name;
  }
}

TEST(LocalClock, ReuseArithmeticRows) {
  constexpr uint64_t kStartOfMillisecond = kMidnight + 1230000;
  struct Window {
    const char* name;
    uint64_t utc;
    uint32_t rate;
    uint64_t ticks;
  } windows[] = {
      {"at the start, all but the slack", kStartOfMillisecond, 200, (10000 - 80) * 200ull},
      {"half way", kStartOfMillisecond + 5000, 200, (5000 - 80) * 200ull},
      {"within the slack of the end", kStartOfMillisecond + 9920, 200, 0},
      {"last unit", kStartOfMillisecond + 9999, 200, 0},
      {"no rate known", kStartOfMillisecond, kRateUnknown, 0},
      {"rate distrusted", kStartOfMillisecond, kRateUntrusted, 0},
  };
  for (const Window& row : windows) {
    EXPECT_EQ(row.ticks, TicksWithinMillisecond(row.utc, row.rate)) << row.name;
  }

  struct Rate {
    const char* name;
    uint64_t ticks;
    uint64_t units;
    uint32_t rate;
  } rates[] = {
      {"2.095 GHz over 10 ms, one percent and a tick below", 20950000, kTenMs, 206},
      {"a whole number of ticks per unit", 30000000, kTenMs, 296},
      {"under 1 GHz, still a tick below", 9000000, kTenMs, 89},
      {"no interval", 1000, 0, kRateUnknown},
      {"longer than a second is not compared", 2000000000, kSecond + 1, kRateUnknown},
      {"a counter slower than one tick per unit", 50000, kTenMs, kRateUnknown},
  };
  for (const Rate& row : rates) {
    EXPECT_EQ(row.rate, LowerTickRate(row.ticks, row.units)) << row.name;
  }

  // Four readings back to back, the counter at 200 ticks per unit, judged with a rate of
  // 197: 1.5 us apart, and 5 us apart (where a step of more than half the slack proves
  // nothing).
  constexpr uint64_t M = kMidnight;
  const uint64_t quick[5] = {0, 3000, 6000, 9000, 12000};
  const uint64_t slow[5] = {0, 10000, 20000, 30000, 40000};
  struct Grain {
    const char* name;
    const uint64_t* ticks;
    uint64_t readings[4];
    uint32_t rate;
    ClockGrain grain;
  } grains[] = {
      {"advancing by what passed", quick, {M, M + 15, M + 30, M + 45}, 197, kFine},
      {"the same reading again: the clock moves in ticks",
       quick,
       {M, M, M + 156000, M + 156000},
       197,
       kStepped},
      {"a jump longer than what passed", quick, {M, M + 15, M + 5000, M + 5015}, 197, kStepped},
      {"going back", quick, {M, M + 15, M + 10, M + 25}, 197, kStepped},
      {"readings further apart than half the slack",
       slow,
       {M, M + 50, M + 100, M + 150},
       197,
       kUnsure},
      {"steps of half the slack", slow, {M, M + 40, M + 80, M + 120}, 197, kFine},
      {"a step just over half the slack", slow, {M, M + 40, M + 81, M + 121}, 197, kUnsure},
      {"a repeat still tells, however slow", slow, {M, M + 50, M + 50, M + 150}, 197, kStepped},
      {"no rate to judge by", quick, {M, M + 15, M + 30, M + 45}, kRateUnknown, kUnsure},
  };
  for (const Grain& row : grains) {
    EXPECT_EQ(row.grain, JudgeClockGrain(row.readings, row.ticks, 4, row.rate)) << row.name;
  }
}

TEST(MemoryProbe, ARememberedRegionIsForgottenOnRequest) {
  char* page = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(nullptr, page);
  ForgetReadableRegions();
  EXPECT_EQ(4096u, ReadableBytes(page, 4096));
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(page, 4096, PAGE_NOACCESS, &old));
  // Told once, the thread goes by what it was told until it forgets.
  EXPECT_TRUE(IsReadable(page));
  ForgetReadableRegions();
  EXPECT_FALSE(IsReadable(page));
  VirtualFree(page, 0, MEM_RELEASE);
}

TEST(MemoryProbe, LowAddressesAndZeroLimitsReadNothing) {
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0u, ReadableBytes(reinterpret_cast<const void*>(0x1234), 16));
  EXPECT_EQ(0u, ReadableBytes("text", 0));
  EXPECT_EQ(0xdeadbeefu, GetLastError());
}

// The host's texts are tested as IsBadStringPtrA(text, 260) would test them, without
// reading them: up to the NUL or 260 bytes, whichever comes first.
TEST(MemoryProbe, ReadableTextAnswersAsTheStringTestDoes) {
  // One readable page followed by a reserved one that cannot be read.
  char* page = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(nullptr, page);
  ASSERT_NE(nullptr, VirtualAlloc(page, 4096, MEM_COMMIT, PAGE_READWRITE));
  memset(page, 'x', 4096);
  page[4095] = '\0';
  char* freed = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(nullptr, freed);
  VirtualFree(freed, 0, MEM_RELEASE);
  struct Row {
    const char* name;
    const char* text;
    bool readable;
  } rows[] = {
      {"null", nullptr, false},
      {"freed", freed, false},
      {"NUL as the last byte before an unreadable page", page + 4000, true},
      {"260 readable bytes with no NUL among them", page, true},
  };
  for (const Row& row : rows) EXPECT_EQ(row.readable, IsReadableText(row.text, 260)) << row.name;
  page[4095] = 'x';
  EXPECT_FALSE(IsReadableText(page + 4000, 260)) << "no NUL before an unreadable page";
  VirtualFree(page, 0, MEM_RELEASE);
}

TEST(TextCut, NeverSplitsADoubleByteCharacter) {
  if (GetACP() != 932) GTEST_SKIP() << "needs the Japanese ANSI code page";
  // "ab" then three two-byte characters.
  const char text[] = "ab\x93\xfa\x96\x7b\x8c\xea";
  struct Row {
    size_t limit;
    size_t whole;
  } rows[] = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {4, 4}, {5, 4}, {7, 6}, {8, 8}};
  for (const Row& row : rows)
    EXPECT_EQ(row.whole, WholeCharacterLength(text, row.limit)) << row.limit;
}

}  // namespace
