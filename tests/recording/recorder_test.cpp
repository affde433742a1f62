// The recorders called directly with hand-built frames on real stacks, writing into a
// real log: line layout, thread numbering, re-entry from a callback and the last error.
#include "recording/recorder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hooklist/api_hook_record.h"
#include "log_session.h"
#include "support/host_run.h"
#include "recording/callback_registry.h"
#include "tracelog/line_builder.h"
#include "tracelog/trace_log.h"

using namespace qelvorn;

using qeltest::LogSession;
using qeltest::MakeFrame;
using qeltest::MakeRecord;

namespace {

// Clock and thread columns masked: "HH:MM:SS:mmm, nnn, " becomes "T, N, ".
std::string Masked(const std::string& line) {
  static const std::regex prefix(R"(^\d\d:\d\d:\d\d:\d\d\d, [ \d]{2}\d, )");
  return std::regex_replace(line, prefix, "T, N, ", std::regex_constants::format_first_only);
}

uintptr_t AddressInThisProgram() {
  return reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)) + 0x1000;
}

std::string ProgramName() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  return strrchr(path, '\\') + 1;
}

using qeltest::Address;

// The blank result column of a pre line.
const std::string& kBlank = qeltest::kBlankAddress;

}  // namespace

TEST(Recorder, PreAndPostLinesAreExact) {
  LogSession log;
  ArgWord none[1] = {0};
  ApiHookRecord tick = MakeRecord("GetTickCount", "");
  CallFrame tickFrame = MakeFrame(tick, none, 0x00001000);
  RecordPre(&tickFrame);
  tickFrame.result = 0x1234abcd;
  SetLastError(0);
  RecordPost(&tickFrame);

  const char* text = "file.txt";
  ArgWord args[4] = {1000, 0, reinterpret_cast<ArgWord>(text), 0x100};
  ApiHookRecord sleep = MakeRecord("Sleep", "dxsb");
  uintptr_t inProgram = AddressInThisProgram();
  CallFrame sleepFrame = MakeFrame(sleep, args, inProgram);
  RecordPre(&sleepFrame);
  SetLastError(5);
  RecordPost(&sleepFrame);
  log.Stop();

  std::vector<std::string> lines;
  for (const std::string& line : log.Lines()) {
    if (line.rfind("new thread", 0) != 0) lines.push_back(Masked(line));
  }
  const std::string module = " <" + ProgramName() + ">";
  const std::string ret = Address(inProgram);
  const std::string at1000 = Address(0x1000);
  std::vector<std::string> expected = {
      "T, N, " + at1000 + ", " + kBlank + ",         , GetTickCount, , ",
      "T, N, " + at1000 + ", " + Address(0x1234abcd) + ", 00000000, GetTickCount, , ",
      "T, N, " + ret + ", " + kBlank + ",         , Sleep" + module +
          ", , 1000, (null), \"file.txt\", false",
      "T, N, " + ret + ", " + Address(0) + ", 00000005, Sleep" + module +
          ", , 1000, (null), \"file.txt\", false",
  };
  EXPECT_EQ(expected, lines);
}

// On x86 a code two words wide takes its word and the next: one argument, one separator.
// On x64 every code takes one slot, so the same list reads four arguments.
TEST(Recorder, ATwoWordCodeIsOneArgument) {
  LogSession log;
  ArgWord args[4] = {0x89abcdef, 0x01234567, 7, 9};
  ApiHookRecord record = MakeRecord("SetFilePointerEx", "88d8");
  CallFrame frame = MakeFrame(record, args, 0x00001000);
  RecordPre(&frame);
  log.Stop();
  std::vector<std::string> lines;
  for (const std::string& line : log.Lines()) {
    if (line.rfind("new thread", 0) != 0) lines.push_back(Masked(line));
  }
  const std::string unknown = "?\x81\xa1\x81\xa1\x81\xa1?";
  const std::string arguments = sizeof(ArgWord) == 4
                                    ? "0123456789abcdef, 7, " + unknown
                                    : "0000000089abcdef, 0000000001234567, 7, 0000000000000009";
  std::vector<std::string> expected = {
      "T, N, " + Address(0x1000) + ", " + kBlank + ",         , SetFilePointerEx, , " + arguments,
  };
  EXPECT_EQ(expected, lines);
}

// A floating-point argument among the first four is read from where the dispatcher kept
// its XMM register, 16 bytes a register; later ones and unmarked ones from their slots, and
// a frame without registers (x86) reads every slot.
TEST(Recorder, MarkedFloatingPointArgumentsComeFromTheirRegisters) {
  alignas(16) uint8_t registers[64] = {};
  const uint64_t bits[4] = {0x1111111111111111, 0x3ff80000deadbeef, 0x3333333333333333,
                            0x40490fdb40490fdb};
  for (int i = 0; i < 4; ++i) memcpy(registers + 16 * i, &bits[i], 8);
  ArgWord args[5] = {7, 0x21cee0, 9, 6, 5};
  const struct {
    const uint8_t* floatArgs;
    const char* arguments;
  } cases[] = {
      {registers, "00000007, deadbeef, 00000009, 40490fdb, 00000005"},
      {nullptr, "00000007, 0021cee0, 00000009, 00000006, 00000005"},
  };
  for (const auto& c : cases) {
    LogSession log;
    ApiHookRecord record = MakeRecord("Mixed", "44444");
    record.floatSlots = 0x2 | 0x8 | 0x10;
    CallFrame frame = MakeFrame(record, args, 0x1000);
    frame.floatArgs = c.floatArgs;
    RecordPre(&frame);
    log.Stop();
    std::vector<std::string> lines;
    for (const std::string& line : log.Lines()) {
      if (line.rfind("new thread", 0) != 0) lines.push_back(Masked(line));
    }
    std::vector<std::string> expected = {"T, N, " + Address(0x1000) + ", " + kBlank +
                                         ",         , Mixed, , " + c.arguments};
    EXPECT_EQ(expected, lines) << c.arguments;
  }
}

TEST(Recorder, LastErrorSurvivesBothRecorders) {
  LogSession log;
  ArgWord args[1] = {0};
  ApiHookRecord record = MakeRecord("SetLastErrorWitness", "x", "CreateThread_Pre");
  CallFrame frame = MakeFrame(record, args, 0x1000);
  SetLastError(1234);
  RecordPre(&frame);
  EXPECT_EQ(1234u, GetLastError());
  SetLastError(5);
  RecordPost(&frame);
  EXPECT_EQ(5u, GetLastError());
  log.Stop();
  std::vector<std::string> lines = log.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(std::string::npos,
            lines.back().find(", " + Address(0) + ", 00000005, SetLastErrorWitness, , (null)"));
}

namespace {

int nestedLines = 0;
void ReenteringCallback(CallFrame*, LineBuilder*, bool) {
  ArgWord args[1] = {0};
  ApiHookRecord inner = MakeRecord("Inner", "x");
  CallFrame frame = MakeFrame(inner, args, 0x1000);
  RecordPre(&frame);
  RecordPost(&frame);
  ++nestedLines;
}

}  // namespace

TEST(Recorder, CallsFromInsideARecorderAreNotRecorded) {
  RegisterCallback("TestReenter_Pre", ReenteringCallback);
  LogSession log;
  ArgWord args[1] = {0};
  ApiHookRecord outer = MakeRecord("Outer", "x", "TestReenter_Pre");
  CallFrame frame = MakeFrame(outer, args, 0x1000);
  RecordPre(&frame);
  log.Stop();
  EXPECT_EQ(1, nestedLines);
  for (const std::string& line : log.Lines()) EXPECT_EQ(std::string::npos, line.find("Inner"));
}

TEST(Recorder, ThreadsAreNumberedInOrderOfFirstCall) {
  LogSession log;
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  HANDLE start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([start] {
      WaitForSingleObject(start, INFINITE);
      ArgWord args[1] = {GetCurrentThreadId()};
      ApiHookRecord record = MakeRecord("Work", "d");
      CallFrame frame = MakeFrame(record, args, 0x1000);
      for (int i = 0; i < 20; ++i) {
        RecordPre(&frame);
        RecordPost(&frame);
      }
    });
  }
  SetEvent(start);
  for (auto& thread : threads) thread.join();
  CloseHandle(start);
  log.Stop();

  static const std::regex newThread(R"(^new thread : \(([ \d]{2}\d)\) ([0-9a-f]{8})$)");
  static const std::regex call(R"(^\d\d:\d\d:\d\d:\d\d\d, ([ \d]{2}\d), )" + Address(0x1000) +
                               ", (" + kBlank + "|" + Address(0) +
                               R"(), (        |[0-9a-f]{8}), Work, , (\d+)$)");
  std::map<std::string, std::string> numberOfThread;  // thread id (decimal) -> number
  std::set<std::string> numbers;
  std::string announcedNumber;
  std::string announcedId;
  for (const std::string& line : log.Lines()) {
    std::smatch m;
    if (std::regex_match(line, m, newThread)) {
      announcedNumber = m[1];
      announcedId = std::to_string(std::stoul(m[2].str(), nullptr, 16));
      EXPECT_TRUE(numbers.insert(announcedNumber).second) << line;
      continue;
    }
    ASSERT_TRUE(std::regex_match(line, m, call)) << line;
    std::string id = m[4];
    if (numberOfThread.find(id) == numberOfThread.end()) {
      // A thread's first line comes right after its own announcement.
      EXPECT_EQ(announcedId, id) << line;
      EXPECT_EQ(announcedNumber, m[1].str()) << line;
      numberOfThread[id] = m[1];
    }
    EXPECT_EQ(numberOfThread[id], m[1].str()) << line;
    announcedId.clear();
  }
  EXPECT_EQ(static_cast<size_t>(kThreads), numberOfThread.size());

  // A new log session keeps the numbers: a known thread gets no new announcement.
  LogSession again;
  ArgWord args[1] = {0};
  ApiHookRecord record = MakeRecord("Again", "x");
  CallFrame frame = MakeFrame(record, args, 0x1000);
  RecordPre(&frame);
  again.Stop();
  std::vector<std::string> lines = again.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(std::string::npos, lines[0].find("new thread"));
}

TEST(Recorder, LinesOfManyThreadsNeverMix) {
  LogSession log;
  std::vector<std::thread> threads;
  const char* text = "some text argument";
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([text] {
      ArgWord args[3] = {7, reinterpret_cast<ArgWord>(text), ~ArgWord{0}};
      ApiHookRecord record = MakeRecord("Mixed", "dsx", "WaitForSingleObject_Pre");
      CallFrame frame = MakeFrame(record, args, 0x1000);
      for (int i = 0; i < 100; ++i) {
        RecordPre(&frame);
        RecordPost(&frame);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  log.Stop();
  static const std::regex whole(
      R"(^\d\d:\d\d:\d\d:\d\d\d, [ \d]{2}\d, )" + Address(0x1000) + ", (" + kBlank + "|" +
      Address(0) + R"(), (        |[0-9a-f]{8}), )" +
      R"(Mixed, (INFINITE)?, 7, "some text argument", )" + Address(~uintptr_t{0}) + "$");
  int calls = 0;
  for (const std::string& line : log.Lines()) {
    if (line.rfind("new thread", 0) == 0) continue;
    EXPECT_TRUE(std::regex_match(line, whole)) << line;
    ++calls;
  }
  EXPECT_EQ(1200, calls);
}

TEST(Recorder, NothingIsWrittenWhileTracingIsOff) {
  LogSession log;
  traceLog.active = false;
  ArgWord args[1] = {0};
  ApiHookRecord record = MakeRecord("Quiet", "x");
  CallFrame frame = MakeFrame(record, args, 0x1000);
  RecordPre(&frame);
  RecordPost(&frame);
  log.Stop();
  EXPECT_TRUE(log.Lines().empty());
}
