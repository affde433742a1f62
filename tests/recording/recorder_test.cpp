// The recorders called directly with hand-built frames on real stacks, writing into a
// real log: line layout, callbacks, thread numbering, re-entry and the last error.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control/callback_wiring.h"
#include "hooklist/api_hook_record.h"
#include "recording/callback_registry.h"
#include "recording/recorder.h"
#include "recording/option_callbacks.h"
#include "support/test_support.h"
#include "tracelog/line_builder.h"
#include "tracelog/module_snapshot.h"
#include "tracelog/trace_log.h"

namespace {

// A log of this test program's own copy of the library, with tracing on.
class LogSession {
 public:
  LogSession() {
    std::string dir = qeltest::MakeTempDir("rec");
    strcpy(traceLog.directory, dir.c_str());
    traceLog.maxSize = 0;
    CreateLogFile();
    moduleSnapshot.Take();
    traceLog.active = true;
    path_ = traceLog.path;
  }
  ~LogSession() { Stop(); }
  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    traceLog.active = false;
    CloseLogFile();
  }
  std::vector<std::string> Lines() const {
    return qeltest::SplitLines(qeltest::ReadFileBytes(path_));
  }

 private:
  bool stopped_ = false;
  std::string path_;
};

ApiHookRecord MakeRecord(const char* name, const char* types, const char* pre = nullptr,
                         const char* post = nullptr) {
  ApiHookRecord record{};
  record.name = name;
  record.preCallbackName = pre;
  record.postCallbackName = post;
  record.argCount = static_cast<uint32_t>(strlen(types));
  record.argTypes = const_cast<char*>(types);
  record.ordinal = -1;
  return record;
}

CallFrame MakeFrame(ApiHookRecord& record, uint32_t* args, uint32_t returnAddress) {
  return CallFrame{returnAddress, 0, args, record.argCount, &record, 0};
}

// Clock and thread columns masked: "HH:MM:SS:mmm, nnn, " becomes "T, N, ".
std::string Masked(const std::string& line) {
  static const std::regex prefix(R"(^\d\d:\d\d:\d\d:\d\d\d, [ \d]{2}\d, )");
  return std::regex_replace(line, prefix, "T, N, ", std::regex_constants::format_first_only);
}

uint32_t AddressInThisProgram() {
  return reinterpret_cast<uint32_t>(GetModuleHandleA(nullptr)) + 0x1000;
}

std::string ProgramName() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  return strrchr(path, '\\') + 1;
}

std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return text;
}

std::string CallbackText(const char* name, uint32_t* args, uint32_t result = 0) {
  ApiHookRecord record = MakeRecord("F", "");
  CallFrame frame{0, result, args, 0, &record, 0};
  char buffer[kLineCapacity];
  LineBuilder builder;
  builder.Attach(buffer, sizeof buffer);
  InstallCallbacks();  // as the first set-up does
  Callback callback = FindCallback(name);
  if (callback == nullptr) return "<none>";
  callback(&frame, &builder, true);
  return buffer;
}

}  // namespace

TEST(Recorder, PreAndPostLinesAreExact) {
  LogSession log;
  uint32_t none[1] = {0};
  ApiHookRecord tick = MakeRecord("GetTickCount", "");
  CallFrame tickFrame = MakeFrame(tick, none, 0x00001000);
  RecordPre(&tickFrame);
  tickFrame.result = 0x1234abcd;
  SetLastError(0);
  RecordPost(&tickFrame);

  const char* text = "file.txt";
  uint32_t args[4] = {1000, 0, reinterpret_cast<uint32_t>(text), 0x100};
  ApiHookRecord sleep = MakeRecord("Sleep", "dxsb");
  uint32_t inProgram = AddressInThisProgram();
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
  const std::string ret = Hex(inProgram);
  std::vector<std::string> expected = {
      "T, N, 00001000,         ,         , GetTickCount, , ",
      "T, N, 00001000, 1234abcd, 00000000, GetTickCount, , ",
      "T, N, " + ret + ",         ,         , Sleep" + module +
          ", , 1000, (null), \"file.txt\", false",
      "T, N, " + ret + ", 00000000, 00000005, Sleep" + module +
          ", , 1000, (null), \"file.txt\", false",
  };
  EXPECT_EQ(expected, lines);
}

TEST(Recorder, LastErrorSurvivesBothRecorders) {
  LogSession log;
  uint32_t args[1] = {0};
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
            lines.back().find(", 00000000, 00000005, SetLastErrorWitness, , (null)"));
}

TEST(Callbacks, OptionTexts) {
  uint32_t handles[12];
  for (uint32_t i = 0; i < 12; ++i) handles[i] = 0x120 + 4 * i;
  uint32_t h = reinterpret_cast<uint32_t>(handles);
  const std::string ten =
      "00000120/00000124/00000128/0000012c/00000130/00000134/00000138/0000013c/00000140/00000144";
  struct Case {
    const char* name;
    std::vector<uint32_t> args;
    std::string expected;
  } cases[] = {
      {"WaitForSingleObject_Pre", {0x120, 1000}, ""},
      {"WaitForSingleObject_Pre", {0x120, 0xFFFFFFFF}, "INFINITE"},
      {"WaitForSingleObjectEx_Pre", {0x120, 0xFFFFFFFF, 1}, "INFINITE"},
      {"WaitForMultipleObjects_Pre",
       {2, h, 1, 0xFFFFFFFF},
       "INFINITE (2 handles:00000120/00000124)"},
      {"WaitForMultipleObjects_Pre", {2, h, 1, 50}, "(2 handles:00000120/00000124)"},
      {"WaitForMultipleObjectsEx_Pre",
       {2, h, 1, 0xFFFFFFFF, 0},
       "INFINITE(2 handles:00000120/00000124)"},
      {"MsgWaitForMultipleObjects_Pre", {1, h, 0, 0xFFFFFFFF, 0}, "INFINITE(1 handles:00000120)"},
      {"MsgWaitForMultipleObjectsEx_Pre", {1, h, 0xFFFFFFFF, 0, 0}, "INFINITE(1 handles:00000120)"},
      {"WaitForMultipleObjects_Pre", {12, h, 0, 10}, "(12 handles:" + ten + "...)"},
      {"WaitForMultipleObjects_Pre", {10, h, 0, 10}, "(10 handles:" + ten + ")"},
      {"WaitForMultipleObjects_Pre", {0, h, 0, 10}, "(0 handles:)"},
      {"SignalObjectAndWait_Pre", {1, 2, 0xFFFFFFFF, 0}, "INFINITE"},
      {"SignalObjectAndWait_Pre", {1, 2, 9, 0}, ""},
      {"ws_Pre", {1}, ""},
      {"CreateThread_Pre",
       {0, 0, 0, 0, 0, 0},
       qeltest::Sjis(u8"(●_beginthread/_beginthreadex を使用した方がいいよ)")},
      {"createthread_Pre", {0}, "<none>"},
      {"CreateThread_Post", {0}, "<none>"},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> args = c.args;
    EXPECT_EQ(c.expected, CallbackText(c.name, args.data())) << c.name;
  }
}

TEST(Callbacks, SocketErrorNames) {
  struct Case {
    int code;
    const char* expected;
  } cases[] = {{10060, "[WSAETIMEDOUT:10060]"},
               {10035, "[WSAEWOULDBLOCK:10035]"},
               {0, "[WSA_OK:0]"},
               {5, "[:5]"},
               {-1, "[WSA_WAIT_FAILED:-1]"},
               {11031, "[WSA_QOS_RESERVED_PETYPE:11031]"}};
  uint32_t args[1] = {0};
  for (const Case& c : cases) {
    WSASetLastError(c.code);
    EXPECT_EQ(c.expected, CallbackText("ws_Post", args)) << c.code;
  }
  // Through the post recorder: the callback reads what the real function left.
  LogSession log;
  ApiHookRecord recv = MakeRecord("recv", "x", "ws_Pre", "ws_Post");
  CallFrame frame = MakeFrame(recv, args, 0x1000);
  WSASetLastError(10060);
  RecordPost(&frame);
  EXPECT_EQ(10060, WSAGetLastError());
  log.Stop();
  EXPECT_NE(std::string::npos, log.Lines().back().find(", recv, [WSAETIMEDOUT:10060], (null)"));
}

TEST(Callbacks, TerminalServicesResults) {
  struct Session {
    uint32_t id;
    const char* name;
    uint32_t state;
  };
  static_assert(sizeof(Session) == 12, "WTS_SESSION_INFOA layout");
  std::vector<Session> sessions;
  const char* names[] = {"Services", "Console"};
  for (uint32_t i = 0; i < 11; ++i) sessions.push_back({i, names[i % 2], i % 2 ? 0u : 4u});
  Session* list = sessions.data();
  for (uint32_t total : {2u, 11u, 0u}) {
    uint32_t count = total;
    uint32_t args[5] = {0, 0, 1, reinterpret_cast<uint32_t>(&list),
                        reinterpret_cast<uint32_t>(&count)};
    std::string expected = "(" + std::to_string(total) + " sessions:";
    for (uint32_t i = 0; i < std::min(total, 10u); ++i) {
      if (i > 0) expected += "/";
      expected += "id:" + std::to_string(i) + " name:" + names[i % 2] +
                  " state:" + std::to_string(i % 2 ? 0 : 4);
    }
    expected += total > 10 ? "...)" : ")";
    EXPECT_EQ(expected, CallbackText("WTSEnumerateSessionsA_Post", args, 1)) << total;
  }
  // A failed call leaves its out-arguments undefined: nothing is read or shown.
  uint32_t garbage[5] = {0, 0, 1, 0x10, 0x20};
  EXPECT_EQ("", CallbackText("WTSEnumerateSessionsA_Post", garbage, 0));
  const std::string bad = qeltest::Sjis(u8"(■bad pointer■)") + "00000020";
  EXPECT_EQ(bad, CallbackText("WTSEnumerateSessionsA_Post", garbage, 1));

  const char* queried = "Console";
  uint32_t query[5] = {0, 1, 5, reinterpret_cast<uint32_t>(&queried), 0};
  EXPECT_EQ("Console", CallbackText("WTSQuerySessionInformationA_Post", query, 1));
  uint32_t failed[5] = {0, 1, 5, 0x10, 0};
  EXPECT_EQ("", CallbackText("WTSQuerySessionInformationA_Post", failed, 0));
}

namespace {

int nestedLines = 0;
void ReenteringCallback(CallFrame*, LineBuilder*, bool) {
  uint32_t args[1] = {0};
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
  uint32_t args[1] = {0};
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
      uint32_t args[1] = {GetCurrentThreadId()};
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
  static const std::regex call(
      R"(^\d\d:\d\d:\d\d:\d\d\d, ([ \d]{2}\d), 00001000, (        |00000000), (        |[0-9a-f]{8}), Work, , (\d+)$)");
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
  uint32_t args[1] = {0};
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
      uint32_t args[3] = {7, reinterpret_cast<uint32_t>(text), 0xFFFFFFFF};
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
      R"(^\d\d:\d\d:\d\d:\d\d\d, [ \d]{2}\d, 00001000, (        |00000000), (        |[0-9a-f]{8}), Mixed, (INFINITE)?, 7, "some text argument", ffffffff$)");
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
  uint32_t args[1] = {0};
  ApiHookRecord record = MakeRecord("Quiet", "x");
  CallFrame frame = MakeFrame(record, args, 0x1000);
  RecordPre(&frame);
  RecordPost(&frame);
  log.Stop();
  EXPECT_TRUE(log.Lines().empty());
}
