// The settings reader and the window arithmetic, called directly.
#include <gtest/gtest.h>

#include <string>

#include "control/message_buffer.h"
#include "control/messages.h"
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

// flush is 0 or 1 and nothing else; a missing key keeps every line flushed.
TEST(Settings, FlushIsZeroOrOne) {
  struct Case {
    const char* line;  // the flush line of the file, or "" for none
    bool read;
    bool flushEachWrite;  // after the read
  } cases[] = {
      {"", true, true},
      {"flush=1\r\n", true, true},
      {"flush=0\r\n", true, false},
      {"flush = 0 \r\n", true, false},
      {"flush=0 ; written and not flushed\r\n", true, false},
      {"flush=2\r\n", false, false},
      {"flush=yes\r\n", false, false},
      {"flush=no\r\n", false, false},
      {"flush=\r\n", false, false},
      {"flush=-1\r\n", false, false},
      {"flush=01\r\n", false, false},
      {"flush=1.0\r\n", false, false},
      {"flush=0x0\r\n", false, false},
      {"flush=10\r\n", false, false},
      // A long comment is still a comment.
      {"flush=0 ; each line is written with WriteFile before the call goes on, and is not "
       "flushed\r\n",
       true, false},
  };
  std::string dir = qeltest::MakeTempDir("flush");
  for (const Case& c : cases) {
    qeltest::WriteIni(dir, std::string("[Option]\r\nspan=1\r\nmax_size=0\r\n") + c.line);
    // A value read replaces the one before it; a bad one leaves it as it was.
    traceLog.flushEachWrite = c.read ? !c.flushEachWrite : c.flushEachWrite;
    char text[512] = "";
    MessageBuffer messages{text, sizeof text};
    EXPECT_EQ(c.read, ReadIniFile((dir + "Qelvorn.ini").c_str(), messages)) << c.line;
    EXPECT_EQ(c.flushEachWrite, traceLog.flushEachWrite) << c.line;
    EXPECT_EQ(c.read ? "" : kIniFlushInvalid, std::string(text)) << c.line;
  }
  // A line longer than the reader's room is cut, and what is left of it proves nothing.
  qeltest::WriteIni(
      dir, "[Option]\r\nspan=1\r\nmax_size=0\r\nflush=0" + std::string(1100, ' ') + "x\r\n");
  char text[512] = "";
  MessageBuffer messages{text, sizeof text};
  EXPECT_FALSE(ReadIniFile((dir + "Qelvorn.ini").c_str(), messages));
  EXPECT_EQ(kIniFlushInvalid, std::string(text));
  traceLog.flushEachWrite = true;
}
