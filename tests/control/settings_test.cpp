// The settings reader and the window arithmetic, called directly.
#include <gtest/gtest.h>

#include "control/message_buffer.h"
#include "control/settings.h"
#include "support/test_support.h"
#include "tracelog/trace_log.h"

using namespace qelvorn;

namespace {

FILETIME Ticks(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

TEST(Settings, ValuesAreClampedAndStored) {
  struct Case {
    const char* body;
    uint32_t span;
    int32_t maxSize;
  } cases[] = {
      {"[Option]\r\nspan=175200\r\nmax_size=100\r\n", 175200, 100},
      {"[Option]\r\nspan=175201\r\nmax_size=2147483647\r\n", 175200, 2147483647},
      {"[Option]\r\nspan=-2\r\nmax_size=-2\r\n", 175200, -2},
      {"[Option]\r\nspan=24\r\n", 24, 0},
  };
  std::string dir = qeltest::MakeTempDir("ini");
  for (const Case& c : cases) {
    qeltest::WriteIni(dir, c.body);
    char text[512] = "";
    MessageBuffer messages{text, sizeof text};
    ASSERT_TRUE(ReadIniFile((dir + "Qelvorn.ini").c_str(), messages)) << c.body;
    EXPECT_EQ(c.span, spanHours) << c.body;
    EXPECT_EQ(c.maxSize, traceLog.maxSize) << c.body;
  }
}

TEST(Settings, WindowEndIsIncluded) {
  const uint64_t hour = 3600ULL * 10000000ULL;
  const uint64_t written = 130000000000000000ULL;
  EXPECT_TRUE(IsWithinWindow(Ticks(written), 1, Ticks(written + hour)));
  EXPECT_FALSE(IsWithinWindow(Ticks(written), 1, Ticks(written + hour + 1)));
  EXPECT_TRUE(IsWithinWindow(Ticks(written), 0, Ticks(written)));
  EXPECT_TRUE(IsWithinWindow(Ticks(written), 0, Ticks(written - 1)));
  EXPECT_TRUE(IsWithinWindow(Ticks(written), 175200, Ticks(written + 175200 * hour)));
}
