// The exported functions of the real DLL: message sequences, return codes, the tracing
// window and the catch-all, against real settings files in fresh directories.
#include <gtest/gtest.h>

#include <string>

#include "control/messages.h"
#include "support/test_support.h"

using namespace qelvorn;

using qeltest::Dll;
using qeltest::Sjis;

namespace {

const std::string kIniBody = "[Option]\r\nspan=1\r\nmax_size=0\r\n";

struct Call {
  int result;
  std::string messages;
};

Call CallSetUp(const std::string& iniDir, const std::string& logDir) {
  char buffer[4096];
  memset(buffer, 'x', sizeof buffer);
  int result = Dll().setUp(iniDir.c_str(), logDir.c_str(), buffer, sizeof buffer);
  return {result, buffer};
}

Call CallCleanUp() {
  char buffer[4096];
  int result = Dll().cleanUp(buffer, sizeof buffer);
  return {result, buffer};
}

Call CallWriteLog(const char* text) {
  char buffer[4096];
  int result = Dll().writeLog(text, buffer, sizeof buffer);
  return {result, buffer};
}

// The first message of every set-up, as a text the others can be joined to.
const std::string kStart = kSetUpStart;
std::string IniOk(const std::string& dir) {
  return kSetUpIniOk + dir + "Qelvorn.ini\n";
}
const std::string kSpanClosed = std::string(kSpanExpired) + kSetUpSpanClosed;

class ControlSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, Dll().setUp);
    dir = qeltest::MakeTempDir("ctl");
  }
  void TearDown() override { CallCleanUp(); }
  std::string dir;
};

}  // namespace

TEST_F(ControlSequence, SuccessfulSetUpLeavesFourMessagesAndCleanUpClosesTheLog) {
  qeltest::WriteIni(dir, kIniBody);
  Call setUp = CallSetUp(dir, dir);
  EXPECT_EQ(0, setUp.result);
  EXPECT_EQ(kStart + IniOk(dir) + kSetUpSpanOpen + kSetUpLogOk, setUp.messages);

  Call again = CallSetUp(dir, dir);
  EXPECT_EQ(1, again.result);
  EXPECT_EQ(kSetUpAlready, again.messages);

  Call write = CallWriteLog("host text");
  EXPECT_EQ(0, write.result);
  EXPECT_EQ("", write.messages);

  Call cleanUp = CallCleanUp();
  EXPECT_EQ(0, cleanUp.result);
  EXPECT_EQ("", cleanUp.messages);
  auto logs = qeltest::ListFiles(dir, "$$$*.txt");
  ASSERT_EQ(1u, logs.size());
  std::string log = qeltest::ReadFileBytes(dir + logs[0]);
  EXPECT_NE(std::string::npos, log.find("host text"));
  const std::string tail = "\r\nCleanUp OK\r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(tail, log.substr(log.size() - tail.size()));

  Call twice = CallCleanUp();
  EXPECT_EQ(1, twice.result);
  EXPECT_EQ(kCleanUpNotInit, twice.messages);
}

TEST_F(ControlSequence, NotInitialisedAnswersOne) {
  Call write = CallWriteLog("text");
  EXPECT_EQ(1, write.result);
  EXPECT_EQ(kWriteLogNotInit, write.messages);
  Call cleanUp = CallCleanUp();
  EXPECT_EQ(1, cleanUp.result);
  EXPECT_EQ(kCleanUpNotInit, cleanUp.messages);
}

TEST_F(ControlSequence, MissingSettingsFileFails) {
  Call setUp = CallSetUp(dir, dir);
  EXPECT_EQ(-1, setUp.result);
  EXPECT_EQ(kStart + kIniMissing + kSetUpIniFailed, setUp.messages);
  // A failed set-up leaves the module idle.
  EXPECT_EQ(1, CallWriteLog("x").result);
}

// A flush value other than 0 or 1 fails set-up as a bad settings file does, and leaves no
// log behind.
TEST_F(ControlSequence, BadFlushValueFailsSetUp) {
  for (const char* value : {"2", "yes", "", "-1", "0x0"}) {
    std::string logDir = qeltest::MakeTempDir("badflush");
    qeltest::WriteIni(dir, kIniBody + "flush=" + value + "\r\n");
    Call setUp = CallSetUp(dir, logDir);
    EXPECT_EQ(-1, setUp.result) << value;
    EXPECT_EQ(kStart + kIniFlushInvalid + kSetUpIniFailed, setUp.messages) << value;
    EXPECT_TRUE(qeltest::ListFiles(logDir, "$$$*.txt").empty()) << value;
    EXPECT_EQ(1, CallWriteLog("x").result) << value;
  }
  for (const char* value : {"0", "1"}) {
    qeltest::WriteIni(dir, kIniBody + "flush=" + value + "\r\n");
    Call setUp = CallSetUp(dir, dir);
    EXPECT_EQ(0, setUp.result) << value;
    EXPECT_EQ(kStart + IniOk(dir) + kSetUpSpanOpen + kSetUpLogOk, setUp.messages) << value;
    EXPECT_EQ(0, CallCleanUp().result) << value;
  }
}

struct WindowCase {
  const char* name;
  std::string ini;
  long long ageSeconds;  // how long ago the settings file was written; negative: future
  int result;
  const char* iniMessages;  // between the start and the success-of-reading message
  bool open;
};

class TracingWindow : public ControlSequence, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(TracingWindow, FollowsTheSettingsFileTime) {
  const WindowCase& c = GetParam();
  qeltest::WriteIni(dir, c.ini);
  ASSERT_TRUE(qeltest::SetLastWriteRelative(dir + "Qelvorn.ini", -c.ageSeconds));
  Call setUp = CallSetUp(dir, dir);
  EXPECT_EQ(c.result, setUp.result);
  std::string expected = kStart + c.iniMessages + IniOk(dir);
  expected += c.open ? std::string(kSetUpSpanOpen) + kSetUpLogOk : kSpanClosed;
  EXPECT_EQ(expected, setUp.messages);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TracingWindow,
    ::testing::Values(
        WindowCase{"open59", "[Option]\r\nspan=1\r\nmax_size=0\r\n", 59 * 60, 0, "", true},
        WindowCase{"closed61", "[Option]\r\nspan=1\r\nmax_size=0\r\n", 61 * 60, -1, "", false},
        WindowCase{"future", "[Option]\r\nspan=0\r\nmax_size=0\r\n", -3600, 0, "", true},
        WindowCase{"spanZero", "[Option]\r\nspan=0\r\nmax_size=0\r\n", 60, -1, "", false},
        WindowCase{"spanMissing", "[Option]\r\nmax_size=0\r\n", 60, -1, kIniSpanInvalid, false},
        WindowCase{"spanMinusOne", "[Option]\r\nspan=-1\r\nmax_size=0\r\n", 60, -1, kIniSpanInvalid,
                   false},
        WindowCase{"spanNegativeIsHuge", "[Option]\r\nspan=-5\r\nmax_size=0\r\n", 86400 * 365, 0,
                   "", true},
        WindowCase{"spanAboveLimit", "[Option]\r\nspan=175201\r\nmax_size=0\r\n", 86400 * 365, 0,
                   "", true},
        WindowCase{"maxSizeMissing", "[Option]\r\nspan=1\r\n", 60, 0, kIniMaxLineInvalid, true},
        WindowCase{"maxSizeMinusOne", "[Option]\r\nspan=1\r\nmax_size=-1\r\n", 60, 0,
                   kIniMaxLineInvalid, true},
        WindowCase{"maxSizeNegative", "[Option]\r\nspan=1\r\nmax_size=-7\r\n", 60, 0, "", true}),
    [](const ::testing::TestParamInfo<WindowCase>& info) { return info.param.name; });

TEST_F(ControlSequence, WriteLogChecksItsText) {
  qeltest::WriteIni(dir, kIniBody);
  ASSERT_EQ(0, CallSetUp(dir, dir).result);
  const std::string bad = kWriteLogBadText;
  Call null = CallWriteLog(nullptr);
  EXPECT_EQ(-1, null.result);
  EXPECT_EQ(bad, null.messages);
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  VirtualFree(page, 0, MEM_RELEASE);
  Call freed = CallWriteLog(static_cast<const char*>(page));
  EXPECT_EQ(-1, freed.result);
  EXPECT_EQ(bad, freed.messages);
  // A text on a guard page (the next page of a growing stack) is refused the same way, and
  // the page stays a guard page.
  void* guard = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE | PAGE_GUARD);
  ASSERT_NE(nullptr, guard);
  Call onGuard = CallWriteLog(static_cast<const char*>(guard));
  EXPECT_EQ(-1, onGuard.result);
  EXPECT_EQ(bad, onGuard.messages);
  MEMORY_BASIC_INFORMATION info;
  ASSERT_NE(0u, VirtualQuery(guard, &info, sizeof info));
  EXPECT_TRUE(info.Protect & PAGE_GUARD);
  VirtualFree(guard, 0, MEM_RELEASE);

  // The text goes in unchanged: no line end, no time, cp932 bytes as they are.
  std::string japanese = Sjis(u8"日本語テキスト");
  EXPECT_EQ(0, CallWriteLog("").result);
  EXPECT_EQ(0, CallWriteLog("A\tB").result);
  EXPECT_EQ(0, CallWriteLog(japanese.c_str()).result);
  std::string longText(5000, 'L');
  EXPECT_EQ(0, CallWriteLog(longText.c_str()).result);
  ASSERT_EQ(0, CallCleanUp().result);
  EXPECT_EQ(1, CallWriteLog("after").result);
  auto logs = qeltest::ListFiles(dir, "$$$*.txt");
  ASSERT_EQ(1u, logs.size());
  std::string log = qeltest::ReadFileBytes(dir + logs[0]);
  EXPECT_NE(std::string::npos, log.find("A\tB" + japanese + longText));
  const std::string tail = "\r\nCleanUp OK\r\n";
  EXPECT_EQ(tail, log.substr(log.size() - tail.size()));
}

TEST_F(ControlSequence, SetUpAgainAfterCleanUpCreatesANewLog) {
  qeltest::WriteIni(dir, kIniBody);
  ASSERT_EQ(0, CallSetUp(dir, dir).result);
  ASSERT_EQ(0, CallWriteLog("first").result);
  ASSERT_EQ(0, CallCleanUp().result);
  ASSERT_EQ(0, CallSetUp(dir, dir).result);
  ASSERT_EQ(0, CallWriteLog("second").result);
  ASSERT_EQ(0, CallCleanUp().result);
  auto logs = qeltest::ListFiles(dir, "$$$*.txt");
  ASSERT_EQ(2u, logs.size());
  std::string first = qeltest::ReadFileBytes(dir + logs[0]);
  std::string second = qeltest::ReadFileBytes(dir + logs[1]);
  EXPECT_NE(std::string::npos, first.find("first"));
  EXPECT_EQ(std::string::npos, first.find("second"));
  EXPECT_NE(std::string::npos, second.find("second"));
}

TEST_F(ControlSequence, AccessViolationAnswersMinusOneAndLeavesTheDllUsable) {
  const std::string exception = kSetUpException;
  char buffer[1024];
  int result = Dll().setUp(reinterpret_cast<const char*>(0x10), dir.c_str(), buffer, sizeof buffer);
  EXPECT_EQ(-1, result);
  EXPECT_EQ(kStart + exception, std::string(buffer));
  EXPECT_EQ(1, CallWriteLog("x").result);

  qeltest::WriteIni(dir, kIniBody);
  Call ok = CallSetUp(dir, dir);
  EXPECT_EQ(0, ok.result);
  EXPECT_EQ(kStart + IniOk(dir) + kSetUpSpanOpen + kSetUpLogOk, ok.messages);
}

TEST_F(ControlSequence, OverlongDirectoriesAreRefused) {
  qeltest::WriteIni(dir, kIniBody);
  std::string longIni(250, 'a');
  Call ini = CallSetUp(longIni + "\\", dir);
  EXPECT_EQ(-1, ini.result);
  EXPECT_EQ(kStart + kSetUpIniDirTooLong, ini.messages);
  std::string longLog(300, 'b');
  Call log = CallSetUp(dir, longLog);
  EXPECT_EQ(-1, log.result);
  EXPECT_EQ(kStart + IniOk(dir) + kSetUpSpanOpen + kSetUpLogDirTooLong, log.messages);
  // A directory that fits but leaves no room for the log file name fails to create it.
  std::string nearLimit = dir + std::string(250 - dir.size(), 'c') + "\\";
  Call name = CallSetUp(dir, nearLimit);
  EXPECT_EQ(-1, name.result);
  EXPECT_EQ(kStart + IniOk(dir) + kSetUpSpanOpen + kSetUpLogFailed, name.messages);
}

TEST_F(ControlSequence, MessagesNeverOverrunTheCallersBuffer) {
  qeltest::WriteIni(dir, kIniBody);
  const std::string full = kStart + IniOk(dir) + kSetUpSpanOpen + kSetUpLogOk;
  for (int size : {1, 2, 10, 37, 100}) {
    char buffer[128];
    memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(0, Dll().setUp(dir.c_str(), dir.c_str(), buffer, size)) << size;
    EXPECT_EQ(full.substr(0, size - 1), std::string(buffer)) << size;
    for (int i = size; i < static_cast<int>(sizeof buffer); ++i) ASSERT_EQ('#', buffer[i]) << size;
    ASSERT_EQ(0, CallCleanUp().result);
  }
  // No buffer at all, or one the host cannot offer: the call still does its work.
  EXPECT_EQ(0, Dll().setUp(dir.c_str(), dir.c_str(), nullptr, 0));
  EXPECT_EQ(0, Dll().cleanUp(reinterpret_cast<char*>(0x10), 100));
}
