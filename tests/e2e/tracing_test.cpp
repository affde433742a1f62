// Tracing from end to end: a host program with real import tables, a real DLL loaded with
// it, the real Qelvorn.dll, and the log it writes from set-up to clean-up.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "control/messages.h"
#include "control/listings.h"
#include "recording/option_callbacks.h"
#include "support/host_run.h"
#include "support/test_support.h"

using namespace qelvorn;

using qeltest::Address;
using qeltest::kAnyAddress;
using qeltest::Post;
using qeltest::Pre;

namespace {

const char kHookList[] =
    "// the host and its DLL\r\n"
    "[Imported]\r\n"
    "imported_module=KERNEL32.dll\r\n"
    "api=CloseHandle,,,,,,,,,x\r\n"
    "api=CreateEventA,,,,,,,,,p,B,b,S\r\n"
    "api=CreateThread,,,,1,,,,,x,d,p,x,4,p\r\n"
    "api=GetModuleHandleW,,,,,,,,,w\r\n"
    "api=MulDiv,,,,,,,,,2,4,x\r\n"
    "api=SetEvent,,,,,,,,,x\r\n"
    "api=Sleep,,,,,,,,,d\r\n"
    "api=WaitForSingleObject,,,,1,,,,,x,d\r\n"
    "api=lstrcmpA,,,,,,,,,s,z\r\n"
    "api=lstrlenA,,,,,,,,,s\r\n"
    "api=lstrlenW,,,,,,,,,W\r\n"
    "imported_module=patch_lib.dll\r\n"
    "api=LibCount,7,1,,,,,,,s\r\n"
    "api=LibTouch,,1,,,,,,,\r\n"
    "imported_module=absent.dll\r\n"
    "api=Nothing,,,,,,,,,\r\n"
    "imported_module=msvcrt.dll\r\n"
    "api=tmpnam,,,,,,,,,p\r\n"
    "[Import]\r\n"
    "import_module=patch_host.exe\r\n"
    "dll=KERNEL32.dll\r\n"
    "dll=patch_lib.dll\r\n"
    "dll=absent.dll\r\n"
    "dll=msvcrt.dll\r\n"
    "import_module=patch_lib.dll\r\n"
    "dll=KERNEL32.dll\r\n"
    "dll=patch_lib.dll\r\n"
    "import_module=not_loaded.dll\r\n"
    "dll=KERNEL32.dll\r\n";

const std::string kHost = " <patch_host\\.exe>";
const std::string kLib = " <patch_lib\\.dll>";

std::vector<std::string> Lines(const std::string& log) {
  return qeltest::SplitLines(log);
}

size_t IndexOf(const std::vector<std::string>& lines, const std::string& line, size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i] == line) return i;
  }
  return std::string::npos;
}

// The lines from a title to the end title, both included.
std::vector<std::string> Section(const std::vector<std::string>& lines, const std::string& title,
                                 const std::string& end, size_t from = 0) {
  size_t first = IndexOf(lines, title, from);
  size_t last = IndexOf(lines, end, first == std::string::npos ? lines.size() : first);
  if (first == std::string::npos || last == std::string::npos) return {};
  return std::vector<std::string>(lines.begin() + first, lines.begin() + last + 1);
}

// A regular expression that matches text byte for byte.
std::string Literal(const std::string& text) {
  std::string pattern;
  for (char c : text) {
    if (strchr("\\^$.|?*+()[]{}", c) != nullptr) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

const std::string kApiStart = "[api listing start *****************************************]";
const std::string kModuleStart = "[module listing start *****************************************]";

}  // namespace

TEST(TracingEndToEnd, CallsOfTheHostAndItsDllAreTracedExactly) {
  qeltest::HostRun run = qeltest::RunHost("patch_host.exe", "trace", kHookList);
  ASSERT_EQ(0, run.exitCode);
  // Results, last errors and stack pointers are those of the same calls without tracing.
  EXPECT_NE(std::string::npos,
            run.report.find("30006 1234 5 0 4 258 1 0 1 0 6 3 1 -1 7 1\nsame 1\nstack same 1\n"))
      << run.report;
  const std::string badPointer =
      "\\(\x81\xa1"
      "bad pointer\x81\xa1\\)";
  const std::string badWide = Literal(
      "(\x81\xa1"
      "bad w string\x81\xa1)");
  const std::string unknownCode = Literal("?\x81\xa1\x81\xa1\x81\xa1?");
  const std::string threadArguments =
      ", \\(null\\), 0, " + kAnyAddress + ", \\(null\\), 00000004, " + kAnyAddress;
  const std::string null = Address(0);
  std::vector<std::string> expected = {
      Pre("MulDiv" + kHost, ", 0002, 00000003, " + Address(1)),
      Post(Address(0x30006), "MulDiv" + kHost, ", 0002, 00000003, " + Address(1)),
      Pre("Sleep" + kHost, ", 0"),
      null + ", 000004d2, Sleep" + kHost + ", , 0",
      Pre("lstrlenA" + kHost, ", \"hello\""),
      Post(Address(5), "lstrlenA" + kHost, ", \"hello\""),
      Pre("lstrlenW" + kHost, ", \\(null\\)\"" + null + "\""),
      Post(null, "lstrlenW" + kHost, ", \\(null\\)\"" + null + "\""),
      Pre("lstrlenW" + kHost, ", \"wide\""),
      Post(Address(4), "lstrlenW" + kHost, ", \"wide\""),
      Pre("CreateEventA" + kHost, ", " + badPointer + null + ", TRUE, false, \"" + null + "\""),
      Post(kAnyAddress, "CreateEventA" + kHost,
           ", " + badPointer + null + ", TRUE, false, \"" + null + "\""),
      Pre("WaitForSingleObject" + kHost, ", " + kAnyAddress + ", 0"),
      Post(Address(0x102), "WaitForSingleObject" + kHost, ", " + kAnyAddress + ", 0"),
      Pre("SetEvent" + kHost, ", " + kAnyAddress),
      Post(Address(1), "SetEvent" + kHost, ", " + kAnyAddress),
      Pre("WaitForSingleObject" + kHost, "INFINITE, " + kAnyAddress + ", 4294967295"),
      Post(null, "WaitForSingleObject" + kHost, ", " + kAnyAddress + ", 4294967295"),
      Pre("CloseHandle" + kHost, ", " + kAnyAddress),
      Post(Address(1), "CloseHandle" + kHost, ", " + kAnyAddress),
      Pre("CloseHandle" + kHost, ", " + kAnyAddress),
      null + ", 00000006, CloseHandle" + kHost + ", , " + kAnyAddress,
      // Imported by ordinal, caller-cleans; the DLL's own call is traced with its name.
      Pre("LibCount" + kHost, ", \"abc\""),
      Pre("lstrlenA" + kLib, ", \"abc\""),
      Post(Address(3), "lstrlenA" + kLib, ", \"abc\""),
      Post(Address(3), "LibCount" + kHost, ", \"abc\""),
      Pre("LibTouch" + kHost, ", "),
      Pre("Sleep" + kLib, ", 0"),
      Post(null, "Sleep" + kLib, ", 0"),
      Post(Address(1), "LibTouch" + kHost, ", "),
      // A type code that means nothing is shown as such.
      Pre("lstrcmpA" + kHost, ", \"a\", " + unknownCode),
      Post(Address(0xffffffff), "lstrcmpA" + kHost, ", \"a\", " + unknownCode),
      Pre("CreateThread" + kHost, Literal(kThreadAdviceText) + threadArguments),
      Post(kAnyAddress, "CreateThread" + kHost, threadArguments),
      // The second thread's calls: "w" gives a wide text, or a marker and the address.
      Pre("GetModuleHandleW" + kHost, ", \"patch_lib\\.dll\""),
      Post(kAnyAddress, "GetModuleHandleW" + kHost, ", \"patch_lib\\.dll\""),
      Pre("GetModuleHandleW" + kHost, ", " + badWide + null),
      Post(kAnyAddress, "GetModuleHandleW" + kHost, ", " + badWide + null),
      Pre("CloseHandle" + kHost, ", " + kAnyAddress),
      Post(Address(1), "CloseHandle" + kHost, ", " + kAnyAddress),
  };
  qeltest::ExpectLines(expected, run.calls);
  // The second thread announces itself just before its first line.
  std::vector<std::string> lines = Lines(run.log);
  std::regex secondThread(R"(\d\d:\d\d:\d\d:\d{3},   2, )" + kAnyAddress + ", " +
                          qeltest::kBlankAddress + ",         , GetModuleHandleW .*");
  size_t first = 1;
  while (first < lines.size() && !std::regex_match(lines[first], secondThread)) ++first;
  ASSERT_LT(first, lines.size());
  EXPECT_TRUE(std::regex_match(lines[first - 1], std::regex(R"(new thread : \(  2\) [0-9a-f]{8})")))
      << lines[first - 1];
}

TEST(TracingEndToEnd, TheLogHoldsEverySectionInOrder) {
  qeltest::HostRun run = qeltest::RunHost("patch_host.exe", "setup", kHookList);
  ASSERT_EQ(0, run.exitCode);
  std::vector<std::string> lines = Lines(run.log);
  ASSERT_GT(lines.size(), 10u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)")))
      << lines[0];
  EXPECT_EQ("", lines[1]);
  EXPECT_EQ("[Loaded Modules]", lines[2]);
  EXPECT_EQ("", lines[3]);
  static const std::regex moduleLine(
      kAnyAddress + " - " + kAnyAddress +
      R"(,  \[[0-9a-f]{8}\([ ,\d]{13}\)\], (\d{4}/\d\d/\d\d \d\d:\d\d:\d\d|----/--/-- --:--:--), .+)");
  size_t at = 4;
  while (at < lines.size() && std::regex_match(lines[at], moduleLine)) ++at;
  EXPECT_GT(at, 8u);
  EXPECT_NE(std::string::npos, run.log.find("patch_host.exe\r\n"));

  std::vector<std::string> apis = {
      "",
      kApiStart,
      "",
      "KERNEL32.dll, CloseHandle",
      "KERNEL32.dll, CreateEventA",
      "KERNEL32.dll, CreateThread",
      "KERNEL32.dll, GetModuleHandleW",
      "patch_lib.dll, LibCount",
      "patch_lib.dll, LibTouch",
      "KERNEL32.dll, MulDiv",
      "absent.dll, Nothing",
      "KERNEL32.dll, SetEvent",
      "KERNEL32.dll, Sleep",
      "KERNEL32.dll, WaitForSingleObject",
      "KERNEL32.dll, lstrcmpA",
      "KERNEL32.dll, lstrlenA",
      "KERNEL32.dll, lstrlenW",
      "msvcrt.dll, tmpnam",
      "",
      "[api listing end]",
      "",
      "",
      kModuleStart,
      "",
      "not_loaded.dll, not loaded",
      "",
      "patch_host.exe",
      "patch_host.exe, absent.dll, not loaded",
      "patch_host.exe, KERNEL32.dll, 11",
      "patch_host.exe, msvcrt.dll, 0",
      "patch_host.exe, patch_lib.dll, 2",
      "",
      "patch_lib.dll",
      "patch_lib.dll, KERNEL32.dll, 2",
      "patch_lib.dll, patch_lib.dll, 0",
      "",
      "[module listing end]",
      "",
      "",
      "[time],       [th],[ret adr],[ret],    [LastEr], [API], [Option], [P1], [P2], ...",
      "",
      "",
  };
  ASSERT_LE(at + apis.size(), lines.size());
  EXPECT_EQ(apis, std::vector<std::string>(lines.begin() + at, lines.begin() + at + apis.size()));

  // Clean-up: the restore listing, the modules of that moment, CleanUp OK last.
  std::vector<std::string> restore = {
      kModuleStart,
      "",
      "not_loaded.dll, not loaded",
      "",
      "patch_host.exe",
      "patch_host.exe, absent.dll, not loaded",
      "patch_host.exe, KERNEL32.dll, -11",
      "patch_host.exe, msvcrt.dll, -0",
      "patch_host.exe, patch_lib.dll, -2",
      "",
      "patch_lib.dll",
      "patch_lib.dll, KERNEL32.dll, -2",
      "patch_lib.dll, patch_lib.dll, -0",
      "",
      "[module listing end]",
  };
  size_t second = IndexOf(lines, kModuleStart, at + apis.size());
  ASSERT_NE(std::string::npos, second);
  EXPECT_EQ(restore, Section(lines, kModuleStart, "[module listing end]", second));
  size_t loaded = IndexOf(lines, "[Loaded Modules]", second);
  ASSERT_NE(std::string::npos, loaded);
  EXPECT_TRUE(std::regex_match(lines[loaded + 2], moduleLine)) << lines[loaded + 2];
  const std::string tail = "\r\n\r\nCleanUp OK\r\n";
  EXPECT_EQ(tail, run.log.substr(run.log.size() - tail.size()));
}

TEST(TracingEndToEnd, CleanUpRestoresEverySlotAndASecondSetUpTracesAgain) {
  qeltest::HostRun run = qeltest::RunHost("patch_host.exe", "restore", kHookList);
  ASSERT_EQ(0, run.exitCode);
  // Slots of the host (11 of kernel32, 2 of its DLL) and of the DLL (2 of kernel32) hold
  // HookEntries numbered in the byte order of the names (Nothing is entry 7).
  EXPECT_NE(std::string::npos,
            run.report.find("patched 15\nentries CloseHandle=0 CreateEventA=1 CreateThread=2 "
                            "GetModuleHandleW=3 #7=4 LibTouch=5 MulDiv=6 SetEvent=8 Sleep=9 "
                            "WaitForSingleObject=10 lstrcmpA=11 lstrlenA=12 lstrlenW=13 \n"))
      << run.report;
  EXPECT_NE(std::string::npos, run.report.find("cleanup 0\nunrestored 0\n")) << run.report;
  EXPECT_NE(std::string::npos, run.report.find("patched again 15 same entries 1\n")) << run.report;
  EXPECT_NE(std::string::npos, run.report.find("cleanup 0\nunrestored again 0\n")) << run.report;
  ASSERT_EQ(2u, run.logs.size());
  EXPECT_EQ(std::string::npos, run.logs[0].find("untraced"));
  EXPECT_EQ(std::string::npos, run.logs[1].find("untraced"));
  std::vector<std::string> second = Lines(run.logs[1]);
  std::vector<std::string> apis = Section(second, kApiStart, "[api listing end]");
  ASSERT_EQ(19u, apis.size());
  for (size_t i = 2; i + 2 < apis.size(); ++i) {
    EXPECT_EQ(", dup", apis[i].substr(apis[i].size() - 5)) << apis[i];
  }
  EXPECT_NE(IndexOf(second, "patch_host.exe, KERNEL32.dll, 11"), std::string::npos);
  EXPECT_NE(std::string::npos, run.logs[1].find("lstrlenA <patch_host.exe>, , \"again\""));
}

namespace {

std::string ManyFunctions(int count, const char* last) {
  std::string list = "[Imported]\r\nimported_module=KERNEL32.dll\r\n";
  char line[64];
  for (int i = 0; i < count; ++i) {
    snprintf(line, sizeof line, "api=F%04d,,,,,,,,,\r\n", i);
    list += line;
  }
  if (last != nullptr) list += std::string("api=") + last + ",,,,,,,,,s\r\n";
  return list + "[Import]\r\nimport_module=patch_host.exe\r\ndll=KERNEL32.dll\r\n";
}

}  // namespace

TEST(TracingEndToEnd, EveryEntryBindsAndOneMoreFailsBeforeAnythingIsPatched) {
  qeltest::HostRun fits =
      qeltest::RunHost("patch_host.exe", "entries", ManyFunctions(1000, "lstrlenA"));
  ASSERT_EQ(0, fits.exitCode);
  EXPECT_NE(std::string::npos, fits.report.find("setup 0\n")) << fits.report;
  EXPECT_NE(std::string::npos, fits.report.find("boxes 0 \nslot unchanged 0\nlog held 1\n"))
      << fits.report;
  EXPECT_EQ(1001u + 4, Section(Lines(fits.log), kApiStart, "[api listing end]").size());

  qeltest::HostRun over =
      qeltest::RunHost("patch_host.exe", "entries", ManyFunctions(1001, "lstrlenA"));
  ASSERT_EQ(0, over.exitCode);
  EXPECT_NE(std::string::npos, over.report.find("stubbed\nsetup -1\n")) << over.report;
  EXPECT_NE(std::string::npos, over.report.find(kSetUpHookFailed));
  EXPECT_NE(std::string::npos, over.report.find(std::string("boxes 1 ") + kEntriesExhausted +
                                                "|Qelvorn|0\nslot unchanged 1\nlog held 0\n"))
      << over.report;
  // The 1002nd function's line is not written, and no module listing follows.
  EXPECT_EQ(std::string::npos, over.log.find("KERNEL32.dll, lstrlenA"));
  EXPECT_NE(std::string::npos, over.log.find("KERNEL32.dll, F1000\r\n"));
  EXPECT_EQ(std::string::npos, over.log.find(kModuleStart));
}

TEST(TracingEndToEnd, AHookListFailingInItsSecondSectionStillBindsTheFirst) {
  std::string list =
      "[Imported]\r\nimported_module=KERNEL32.dll\r\napi=lstrlenA,,,,,,,,,s\r\n"
      "[Import]\r\nimport_module=patch_host.exe\r\ndll=KERNEL32.dll\r\ndll=nowhere.dll\r\n";
  qeltest::HostRun run = qeltest::RunHost("patch_host.exe", "setup", list);
  ASSERT_EQ(0, run.exitCode);
  EXPECT_NE(std::string::npos, run.report.find("setup 0\n")) << run.report;
  EXPECT_NE(std::string::npos, run.report.find(kSetUpLstFailed));
  EXPECT_NE(std::string::npos, run.log.find("\r\nKERNEL32.dll, lstrlenA\r\n"));
  // The import block that failed was dropped: no module is listed or patched.
  std::vector<std::string> modules = {kModuleStart, "", "[module listing end]"};
  EXPECT_EQ(modules, Section(Lines(run.log), kModuleStart, "[module listing end]"));
}

TEST(TracingEndToEnd, AListingCutShortLeavesNothingForTheNextSetUp) {
  // Both set-ups run out of entries at lstrlenA; the first one's unwritten line must not
  // reappear at the head of the second one's listing.
  qeltest::HostRun run =
      qeltest::RunHost("patch_host.exe", "entries-twice", ManyFunctions(1001, "lstrlenA"));
  ASSERT_EQ(0, run.exitCode);
  EXPECT_NE(std::string::npos, run.report.find("boxes 2 ")) << run.report;
  ASSERT_EQ(2u, run.logs.size());
  std::vector<std::string> second = Lines(run.logs[1]);
  size_t title = IndexOf(second, kApiStart);
  ASSERT_LT(title + 3, second.size());
  EXPECT_EQ("", second[title + 1]);
  EXPECT_EQ("KERNEL32.dll, F0000, dup", second[title + 2]);
  EXPECT_EQ("KERNEL32.dll, F1000, dup", second.back());
}

TEST(TracingEndToEnd, ASlotHoldingAHookEntryNeverBecomesTheRealFunction) {
  // Two listed names of one loaded module: its slots are patched twice, and the second
  // time they already hold HookEntries. A call must still reach kernel32 exactly once.
  std::string fullName = qeltest::ProgramDir() + "patch_host.exe";
  std::string list =
      "[Imported]\r\nimported_module=KERNEL32.dll\r\napi=lstrlenA,,,,,,,,,s\r\n"
      "[Import]\r\nimport_module=patch_host.exe\r\ndll=KERNEL32.dll\r\n"
      "import_module=" +
      fullName + "\r\ndll=KERNEL32.dll\r\n";
  qeltest::HostRun run = qeltest::RunHost("patch_host.exe", "call", list);
  ASSERT_EQ(0, run.exitCode);
  EXPECT_NE(std::string::npos, run.report.find("setup 0\n")) << run.report;
  EXPECT_NE(std::string::npos, run.report.find("length 7\ncleanup 0\nunrestored 0\n"))
      << run.report;
  std::vector<std::string> lines = Lines(run.log);
  std::vector<std::string> modules = {kModuleStart,
                                      "",
                                      "patch_host.exe",
                                      "patch_host.exe, KERNEL32.dll, 1",
                                      "",
                                      fullName,
                                      fullName + ", KERNEL32.dll, 1",
                                      "",
                                      "[module listing end]"};
  EXPECT_EQ(modules, Section(lines, kModuleStart, "[module listing end]"));
  qeltest::ExpectLines({Pre("lstrlenA" + kHost, ", \"looped\\?\""),
                        Post(Address(7), "lstrlenA" + kHost, ", \"looped\\?\"")},
                       run.calls);
}
