// What only x64 does its own way, traced end to end: x64_host.exe calls x64_lib.dll
// through its import table with the real Qelvorn.dll set up, and the log is read back.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/host_run.h"
#include "support/test_support.h"

using qeltest::kAnyAddress;
using qeltest::Post;
using qeltest::Pre;

namespace {

const char kHookList[] =
    "[Imported]\r\n"
    "imported_module=x64_lib.dll\r\n"
    "api=LibSum6,,,,,,,,,8,8,d,d,x,p\r\n"
    "api=LibMixed,,,,,,,,,4,8f,8,8f,4,8f\r\n"
    "api=LibRaise,,,,,,,,,4\r\n"
    "api=LibCallBack,,,,,,,,,p,d\r\n"
    "api=LibWalk,,,,,,,,,p,d\r\n"
    "api=LibTexts,,,,,,,,,s,s,s,s,s,s\r\n"
    "[Import]\r\n"
    "import_module=x64_host.exe\r\n"
    "dll=x64_lib.dll\r\n";

const std::string kHost = " <x64_host\\.exe>";

// The sum's 16 hex digits from the host's "sum ..." line.
std::string ReportedSum(const std::string& report) {
  std::smatch found;
  if (!std::regex_search(report, found, std::regex("sum ([0-9a-f]{16})"))) return "<no sum>";
  return found[1];
}

// A value that points nowhere, as `p` shows it.
std::string BadPointer(const std::string& digits) {
  return "\\(\x81\xa1"
         "bad pointer\x81\xa1\\)" +
         digits;
}

const std::string kSumArguments = ", 1122334455667788, ffffffffffffffff, 123, 4294967296, " +
                                  std::string("deadbeef00000000, ") +
                                  BadPointer("00000000cafef00d");
// The doubles in XMM1 and XMM3 leave their integer registers as the caller had them; the
// double on the stack shows its bits (2.5).
// 1.5 and -0.25 come from XMM1 and XMM3, 2.5 from its stack slot.
const std::string kMixedArguments =
    ", 00000007, 3ff8000000000000, 0000000123456789, bfd0000000000000, 00000003, "
    "4004000000000000";

std::vector<std::string> SumAndMixed(const std::string& sum) {
  return {
      Pre("LibSum6" + kHost, kSumArguments),
      Post(sum, "LibSum6" + kHost, kSumArguments),
      Pre("LibMixed" + kHost, kMixedArguments),
      Post(kAnyAddress, "LibMixed" + kHost, kMixedArguments),
  };
}

TEST(X64, ArgumentsAndResultsPassUnchangedAndAreLoggedPerSlot) {
  qeltest::HostRun run = qeltest::RunHost("x64_host.exe", "calls", kHookList);
  ASSERT_EQ(0, run.exitCode);
  // More than four arguments, a 64-bit result, doubles in and out: bit for bit the same.
  EXPECT_NE(std::string::npos, run.report.find("sum 6a86edf817601945 mixed c1d2345677d00000"))
      << run.report;
  EXPECT_NE(std::string::npos, run.report.find("same 1\n")) << run.report;
  std::vector<std::string> expected = SumAndMixed(ReportedSum(run.report));
  // A bad pointer in each argument position in turn, the others read as texts.
  const std::string bad =
      "\"\\(\x81\xa1"
      "bad string\x81\xa1\\)0000000000000010\"";
  const char* texts[6] = {"\"a\"", "\"b\"", "\"c\"", "\"d\"", "\"e\"", "\"f\""};
  for (int position = 0; position < 6; ++position) {
    std::string arguments;
    for (int i = 0; i < 6; ++i) arguments += std::string(", ") + (i == position ? bad : texts[i]);
    expected.push_back(Pre("LibTexts" + kHost, arguments));
    expected.push_back(Post("0000000000000006", "LibTexts" + kHost, arguments));
  }
  qeltest::ExpectLines(expected, run.calls);
}

TEST(X64, AnExceptionRaisedInATracedCallReachesTheCallersHandler) {
  qeltest::HostRun run = qeltest::RunHost("x64_host.exe", "raise", kHookList);
  ASSERT_EQ(0, run.exitCode);
  EXPECT_NE(std::string::npos, run.report.find("caught e0000042\n")) << run.report;
  // The raising call never returns, so it has no post line; the next calls are traced.
  std::vector<std::string> expected = {Pre("LibRaise" + kHost, ", e0000042")};
  for (const std::string& line : SumAndMixed(ReportedSum(run.report))) expected.push_back(line);
  qeltest::ExpectLines(expected, run.calls);
}

TEST(X64, ACppExceptionFromACallbackUnwindsThroughTheTracer) {
  qeltest::HostRun run = qeltest::RunHost("x64_host.exe", "throw", kHookList);
  ASSERT_EQ(0, run.exitCode);
  EXPECT_NE(std::string::npos, run.report.find("caught from callback\nplain 11\n")) << run.report;
  std::vector<std::string> expected = {
      Pre("LibCallBack" + kHost, ", " + kAnyAddress + ", 5"),
      Pre("LibCallBack" + kHost, ", " + kAnyAddress + ", 5"),
      Post("000000000000000b", "LibCallBack" + kHost, ", " + kAnyAddress + ", 5"),
  };
  qeltest::ExpectLines(expected, run.calls);
}

// A stack walk started inside a traced function passes the tracer's frames and goes on
// into the host, as it goes from the DLL into the host without tracing.
TEST(X64, AStackWalkPassesThroughTheTracersFrames) {
  qeltest::HostRun run = qeltest::RunHost("x64_host.exe", "walk", kHookList);
  ASSERT_EQ(0, run.exitCode);
  EXPECT_TRUE(std::regex_search(run.report, std::regex("untraced LH")));
  EXPECT_TRUE(std::regex_search(run.report, std::regex("traced LQH"))) << run.report;
}

TEST(X64, EightThreadsAcrossRollOversLoseNoCall) {
  qeltest::HostOptions options;
  options.ini = "[Option]\r\nspan=1\r\nmax_size=200000\r\n";
  qeltest::HostRun run = qeltest::RunHost("x64_host.exe", "threads", kHookList, options);
  ASSERT_EQ(0, run.exitCode);
  EXPECT_NE(std::string::npos, run.report.find("mismatches 0\n")) << run.report;
  EXPECT_GE(run.logs.size(), 3u);
  // Every call has its pre and post line, each line whole, across all the files.
  size_t pre = 0, post = 0;
  std::regex preLine("^\\d\\d:\\d\\d:\\d\\d:\\d{3}, +\\d+, " + kAnyAddress + ", {17},         , " +
                     "LibSum6 <x64_host\\.exe>, , [0-9a-f]{16}, [0-9a-f]{16}, \\d+, \\d+, " +
                     "([0-9a-f]{16}|\\(null\\)), " + BadPointer("0000000000000007") + "$");
  std::regex postLine("^\\d\\d:\\d\\d:\\d\\d:\\d{3}, +\\d+, " + kAnyAddress + ", " + kAnyAddress +
                      ", [0-9a-f]{8}, LibSum6 <x64_host\\.exe>, , .*, " +
                      BadPointer("0000000000000007") + "$");
  for (const std::string& log : run.logs) {
    for (const std::string& line : qeltest::SplitLines(log)) {
      // Call lines only: the api listing names the function too.
      if (line.find("LibSum6 <") == std::string::npos) continue;
      if (std::regex_match(line, preLine)) {
        ++pre;
      } else if (std::regex_match(line, postLine)) {
        ++post;
      } else {
        ADD_FAILURE() << line;
      }
    }
  }
  EXPECT_EQ(pre, 8u * 400);
  EXPECT_EQ(post, 8u * 400);
}

}  // namespace
