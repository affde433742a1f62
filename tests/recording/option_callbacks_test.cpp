// The option-column callbacks as the control layer installs them, called with hand-built
// frames: wait, thread, socket-error and terminal-services texts.
#include "recording/option_callbacks.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <algorithm>
#include <string>
#include <vector>

#include "control/callback_wiring.h"
#include "log_session.h"
#include "recording/callback_registry.h"
#include "recording/recorder.h"
#include "support/test_support.h"
#include "tracelog/line_builder.h"

using namespace qelvorn;

using qeltest::LogSession;
using qeltest::MakeFrame;
using qeltest::MakeRecord;

namespace {

std::string CallbackText(const char* name, ArgWord* args, uintptr_t result = 0) {
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

// Bits above the low 32 of an x64 word; nothing on x86, where a word has no such bits.
const ArgWord kHighGarbage = static_cast<ArgWord>(0xabcd000000000000ull);

// The 32-bit log's eight digits of a handle, padded to the pointer width.
std::string Padded(const std::string& digits) {
  return std::string(2 * sizeof(void*) - digits.size(), '0') + digits;
}

}  // namespace

TEST(Callbacks, OptionTexts) {
  uintptr_t handles[12];
  for (uint32_t i = 0; i < 12; ++i) handles[i] = 0x120 + 4 * i;
  ArgWord h = reinterpret_cast<ArgWord>(handles);
  std::string ten;
  for (const char* handle : {"00000120", "00000124", "00000128", "0000012c", "00000130", "00000134",
                             "00000138", "0000013c", "00000140", "00000144"}) {
    ten += (ten.empty() ? "" : "/") + Padded(handle);
  }
  const std::string one = Padded("00000120");
  const std::string two = one + "/" + Padded("00000124");
  struct Case {
    const char* name;
    std::vector<ArgWord> args;
    std::string expected;
  } cases[] = {
      {"WaitForSingleObject_Pre", {0x120, 1000}, ""},
      {"WaitForSingleObject_Pre", {0x120, 0xFFFFFFFF}, "INFINITE"},
      {"WaitForSingleObjectEx_Pre", {0x120, 0xFFFFFFFF, 1}, "INFINITE"},
      {"WaitForMultipleObjects_Pre", {2, h, 1, 0xFFFFFFFF}, "INFINITE (2 handles:" + two + ")"},
      {"WaitForMultipleObjects_Pre", {2, h, 1, 50}, "(2 handles:" + two + ")"},
      {"WaitForMultipleObjectsEx_Pre", {2, h, 1, 0xFFFFFFFF, 0}, "INFINITE(2 handles:" + two + ")"},
      {"MsgWaitForMultipleObjects_Pre",
       {1, h, 0, 0xFFFFFFFF, 0},
       "INFINITE(1 handles:" + one + ")"},
      {"MsgWaitForMultipleObjectsEx_Pre",
       {1, h, 0xFFFFFFFF, 0, 0},
       "INFINITE(1 handles:" + one + ")"},
      // A DWORD is the low half of an x64 word; the bits above it are the caller's garbage.
      {"WaitForSingleObject_Pre", {0x120, kHighGarbage | 0xFFFFFFFF}, "INFINITE"},
      {"WaitForMultipleObjects_Pre",
       {kHighGarbage | 2, h, 1, kHighGarbage | 0xFFFFFFFF},
       "INFINITE (2 handles:" + two + ")"},
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
    std::vector<ArgWord> args = c.args;
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
  ArgWord args[1] = {0};
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
  static_assert(sizeof(Session) == 3 * sizeof(void*), "WTS_SESSION_INFOA layout");
  std::vector<Session> sessions;
  const char* names[] = {"Services", "Console"};
  for (uint32_t i = 0; i < 11; ++i) sessions.push_back({i, names[i % 2], i % 2 ? 0u : 4u});
  Session* list = sessions.data();
  for (uint32_t total : {2u, 11u, 0u}) {
    uint32_t count = total;
    ArgWord args[5] = {0, 0, 1, reinterpret_cast<ArgWord>(&list),
                       reinterpret_cast<ArgWord>(&count)};
    std::string expected = "(" + std::to_string(total) + " sessions:";
    for (uint32_t i = 0; i < std::min(total, 10u); ++i) {
      if (i > 0) expected += "/";
      expected += "id:" + std::to_string(i) + " name:" + names[i % 2] +
                  " state:" + std::to_string(i % 2 ? 0 : 4);
    }
    expected += total > 10 ? "...)" : ")";
    EXPECT_EQ(expected, CallbackText("WTSEnumerateSessionsA_Post", args, 1)) << total;
    // A BOOL result is the low half of an x64 word.
    EXPECT_EQ(expected, CallbackText("WTSEnumerateSessionsA_Post", args, kHighGarbage | 1))
        << total;
  }
  // A failed call leaves its out-arguments undefined: nothing is read or shown.
  ArgWord garbage[5] = {0, 0, 1, 0x10, 0x20};
  EXPECT_EQ("", CallbackText("WTSEnumerateSessionsA_Post", garbage, 0));
  EXPECT_EQ("", CallbackText("WTSEnumerateSessionsA_Post", garbage, kHighGarbage));
  const std::string bad = qeltest::Sjis(u8"(■bad pointer■)") + Padded("00000020");
  EXPECT_EQ(bad, CallbackText("WTSEnumerateSessionsA_Post", garbage, 1));

  const char* queried = "Console";
  ArgWord query[5] = {0, 1, 5, reinterpret_cast<ArgWord>(&queried), 0};
  EXPECT_EQ("Console", CallbackText("WTSQuerySessionInformationA_Post", query, 1));
  ArgWord failed[5] = {0, 1, 5, 0x10, 0};
  EXPECT_EQ("", CallbackText("WTSQuerySessionInformationA_Post", failed, 0));
}
