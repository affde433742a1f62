// When the log is flushed: after every write by default, and with flush=0 only when a
// file is let go, at a roll-over or at the close. The lines are in the files either way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "tracelog/trace_log.h"

using namespace qelvorn;

namespace {

struct FlushCase {
  const char* name;
  bool flushEachWrite;
  uint32_t writeFlushes;     // for the five lines before the roll-over
  uint32_t rollOverFlushes;  // for the line that fills the first file
  uint32_t closeFlushes;
};

void PrintTo(const FlushCase& c, std::ostream* out) {
  *out << c.name;
}

class FlushPoints : public testing::TestWithParam<FlushCase> {};

TEST_P(FlushPoints, FlushesWhereTheSettingSays) {
  const FlushCase& c = GetParam();
  std::string dir = qeltest::MakeTempDir("flushpoints");
  snprintf(traceLog.directory, sizeof traceLog.directory, "%s", dir.c_str());
  traceLog.maxSize = 0;
  traceLog.flushEachWrite = c.flushEachWrite;
  ASSERT_TRUE(CreateLogFile());
  traceLog.active = false;

  uint32_t before = traceLog.flushes;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(WriteLine(("line " + std::to_string(i)).c_str(), true));
  uint32_t writes = traceLog.flushes - before;

  // The next line reaches the size: it ends the first file and a second one opens.
  traceLog.maxSize = traceLog.bytesWritten + 1;
  before = traceLog.flushes;
  ASSERT_TRUE(WriteLine("line 5", true));
  uint32_t rollOver = traceLog.flushes - before;
  traceLog.maxSize = 0;

  ASSERT_TRUE(WriteLine("line 6", true));
  before = traceLog.flushes;
  ASSERT_TRUE(CloseLogFile());
  uint32_t close = traceLog.flushes - before;
  traceLog.flushEachWrite = true;

  EXPECT_EQ(c.writeFlushes, writes);
  EXPECT_EQ(c.rollOverFlushes, rollOver);
  EXPECT_EQ(c.closeFlushes, close);
  std::vector<std::string> files = qeltest::ListFiles(dir, "$$$*.txt");
  ASSERT_EQ(2u, files.size());
  std::string first = qeltest::ReadFileBytes(dir + files[0]);
  EXPECT_EQ("line 0\r\nline 1\r\nline 2\r\nline 3\r\nline 4\r\nline 5\r\n", first);
  EXPECT_EQ("line 6\r\n", qeltest::ReadFileBytes(dir + files[1]));
}

// A log left without a file (as by a roll-over that found no slot) refuses its lines
// without asking the system anything, even with lines still owed a flush.
TEST(UnflushedLog, ALogWithoutAFileAsksForNoFlush) {
  std::string dir = qeltest::MakeTempDir("nofile");
  snprintf(traceLog.directory, sizeof traceLog.directory, "%s", dir.c_str());
  traceLog.maxSize = 0;
  traceLog.flushEachWrite = false;
  ASSERT_TRUE(CreateLogFile());
  traceLog.active = false;
  ASSERT_TRUE(WriteLine("written, not flushed", true));
  traceLog.flushEachWrite = true;
  HANDLE file = traceLog.file;
  traceLog.file = INVALID_HANDLE_VALUE;
  SetLastError(1234);
  EXPECT_FALSE(WriteLine("no file to write to", true));
  EXPECT_EQ(1234u, GetLastError()) << "a flush of no handle was tried";
  traceLog.file = file;
  ASSERT_TRUE(CloseLogFile());
}

const FlushCase kFlushCases[] = {
    {"EveryWrite", true, 5, 1, 0},
    {"AtRollOverAndClose", false, 0, 1, 1},
};

INSTANTIATE_TEST_SUITE_P(Log, FlushPoints, testing::ValuesIn(kFlushCases),
                         [](const testing::TestParamInfo<FlushCase>& info) {
                           return info.param.name;
                         });

}  // namespace
