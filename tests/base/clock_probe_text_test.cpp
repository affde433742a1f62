// The local clock, the readability memory and the character-safe cut.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "base/local_clock.h"
#include "base/memory_probe.h"
#include "base/text_cut.h"

namespace {

constexpr uint64_t kMinute = 600000000ull;
constexpr uint64_t kDay = 1440 * kMinute;
// 2026-12-10 00:00:00 UTC in 100-ns units since 1601.
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

// A thread keeps what it knows of the current second, so the readings go on across the
// next second's start: the run sleeps until just before it.
TEST(LocalClock, AgreesWithGetLocalTimeAcrossASecond) {
  SYSTEMTIME start;
  GetLocalTime(&start);
  LocalTimeOfDay();
  if (start.wMilliseconds < 980) Sleep(980 - start.wMilliseconds);
  for (int i = 0; i < 2000; ++i) {
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
    EXPECT_LE(low, mine);
    EXPECT_LE(mine, high);
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
