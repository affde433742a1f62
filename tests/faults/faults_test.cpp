// Faults that once crashed, hung or misled a traced program, each shown by a real host
// run under a watchdog: its exit code, its own findings and, where it matters, its log.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/host_run.h"
#include "support/test_support.h"

namespace {

// A host that outlives this is taken as hung and killed.
constexpr DWORD kWatchdogMs = 90000;

const char kBusyList[] =
    "[Imported]\r\n"
    "imported_module=KERNEL32.dll\r\n"
    "api=Sleep,,,,,,,,,d\r\n"
    "api=WaitForSingleObject,,,,1,,,,,x,d\r\n"
    "api=lstrlenA,,,,,,,,,s\r\n"
    "[Import]\r\n"
    "import_module=fault_host.exe\r\n"
    "dll=KERNEL32.dll\r\n"
    "import_module=fault_lib.dll\r\n"
    "dll=KERNEL32.dll\r\n";

const char kProcAddressList[] =
    "[Imported]\r\n"
    "imported_module=KERNEL32.dll\r\n"
    "api=CloseHandle,,,,,,,,,x\r\n"
    "api=GetProcAddress,,,1,1,1,,,,x,S\r\n"
    "imported_module=fault_lib.dll\r\n"
    "api=Same,,1,,,,,,,d\r\n"
    "[Import]\r\n"
    "import_module=fault_host.exe\r\n"
    "dll=KERNEL32.dll\r\n"
    "dll=fault_lib.dll\r\n";

const char kWaitList[] =
    "[Imported]\r\n"
    "imported_module=KERNEL32.dll\r\n"
    "api=GetProcAddress,,,1,1,1,,,,x,S\r\n"
    "api=WaitForSingleObject,,,,1,,,,,x,d\r\n"
    "api=lstrlenA,,,,,,,,,s\r\n"
    "[Import]\r\n"
    "import_module=fault_host.exe\r\n"
    "dll=KERNEL32.dll\r\n";

const char kLoadList[] =
    "[Imported]\r\n"
    "imported_module=KERNEL32.dll\r\n"
    "api=FreeLibrary,,,,1,1,,,,x\r\n"
    "api=GetProcAddress,,,1,1,1,,,,x,S\r\n"
    "api=LoadLibraryA,,,,,1,,,,s\r\n"
    "api=LoadLibraryExA,,,,,1,,,,s,x,4\r\n"
    "api=lstrlenA,,,,,,,,,s\r\n"
    "imported_module=fault_twin.dll\r\n"
    "api=TwinLength,,1,,,,,,,s\r\n"
    "[Import]\r\n"
    "import_module=fault_host.exe\r\n"
    "dll=KERNEL32.dll\r\n"
    "dll=fault_twin.dll\r\n"
    "import_module=fault_twin.dll\r\n"
    "dll=KERNEL32.dll\r\n";

std::string Ini(int maxSize) {
  return "[Option]\r\nspan=1\r\nmax_size=" + std::to_string(maxSize) + "\r\n";
}

std::string Repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

std::string AllLogs(const qeltest::HostRun& run) {
  std::string all;
  for (const std::string& log : run.logs) all += log;
  return all;
}

// The result column and its separator of the call line whose text after the last-error
// column starts at `at`; the result is pointer-wide, the last error eight digits.
std::string ResultBefore(const std::string& log, size_t at) {
  const size_t width = qeltest::kBlankAddress.size() + 2;
  return at < width + 8 ? "" : log.substr(at - 8 - width, width);
}

// A host run must end by itself, with the exit code wanted.
void ExpectExit(int wanted, const qeltest::HostRun& run) {
  ASSERT_NE(-2, run.exitCode) << "hung: killed after " << kWatchdogMs / 1000 << " s\n"
                              << run.report;
  ASSERT_EQ(wanted, run.exitCode) << std::hex << "exit code 0x" << run.exitCode << "\n"
                                  << run.report;
}

struct Case {
  const char* name;
  const char* scenario;
  const char* hookList;
  int maxSize;
  int exitCode;
  std::string report;  // the whole report the host must write
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.scenario;
}

class HostScenario : public testing::TestWithParam<Case> {};

TEST_P(HostScenario, EndsAsItShould) {
  const Case& c = GetParam();
  qeltest::HostOptions options;
  options.ini = Ini(c.maxSize);
  options.timeoutMs = kWatchdogMs;
  qeltest::HostRun run = qeltest::RunHost("fault_host.exe", c.scenario, c.hookList, options);
  ExpectExit(c.exitCode, run);
  EXPECT_EQ(c.report, run.report);
}

const Case kCases[] = {
    // GetProcAddress answers what the real function answers for a module that does not
    // export the traced name, and another module's function of a traced name is its own.
    {"ProcAddressAsksTheModule", "procaddress", kProcAddressList, 0, 0,
     "setup 0\nuser32 CloseHandle null\ntwin Same 502\nlib Same 501\nimported Same 501\n"
     "cleanup 0\nend\n"},
    // A listed DLL mapped with unresolved imports is not patched and lends no address.
    {"UnresolvedLoadLendsNothing", "noresolve", kLoadList, 0, 0,
     "setup 0\nloaded 1\nlength 5\ncleanup 0\nend\n"},
    // The library pinned: unloading it with a thread in a traced wait, and calling an
    // address handed out by GetProcAddress afterwards, both return normally.
    {"UnloadWhileAThreadWaits", "unload-wait", kWaitList, 0, 0,
     "setup 0\ncleanup 0\nfreed 1\nwaited 0\nfetched 5\nend\n"},
    // Clean-up from a DLL's detach at process exit, after busy threads were ended.
    {"CleanUpFromDetachAtExit", "exit-cleanup", kBusyList, 0, 9, "setup 0\nexiting\n"},
    // A listed DLL's thread attach makes traced calls while the log rolls over every few lines
    // (on every line a roll-over through the ring of slots is too slow in the test guest).
    {"ThreadAttachCallsWhileRollingOver", "thread-attach", kBusyList, 600, 0,
     "setup 0\ndone\ncleanup 0\nend\n"},
    // Two set-ups at once: one answers 0, the other 1; the same for two clean-ups.
    {"ConcurrentControlCalls", "races", kBusyList, 0, 0,
     Repeat("setup 0 1\ncleanup 0 1\n", 8) + "end\n"},
    // A HookEntry of LoadLibraryA called after clean-up patches nothing.
    {"LoadThroughAnEntryAfterCleanUp", "late-load", kLoadList, 0, 0,
     "setup 0\nfetched into tracer 1\ncleanup 0\nloaded 1\npatched 0\nend\n"},
};

INSTANTIATE_TEST_SUITE_P(Faults, HostScenario, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

qeltest::HostRun RunFaultHost(const char* scenario, const char* hookList, int maxSize = 0) {
  qeltest::HostOptions options;
  options.ini = Ini(maxSize);
  options.timeoutMs = kWatchdogMs;
  return qeltest::RunHost("fault_host.exe", scenario, hookList, options);
}

}  // namespace

std::string Calls(const qeltest::HostRun& run) {
  std::string all;
  for (const std::string& line : run.calls) all += line + "\n";
  return all;
}

TEST(Faults, ExitWithThreadsInTracedCalls) {
  // ExitProcess with four threads in traced calls and no clean-up; then a listed DLL's
  // detach calls traced functions, which still work.
  qeltest::HostRun run = RunFaultHost("exit-busy", kBusyList);
  ExpectExit(7, run);
  EXPECT_EQ("setup 0\nexiting\ndetach length 14\n", run.report);
  // Their lines may be missing (a thread ended inside a write may hold the log), but a
  // line that is there is exact.
  const std::string tail = ", lstrlenA <fault_lib.dll>, , \"process detach\"\r\n";
  for (size_t at = run.log.find(tail); at != std::string::npos; at = run.log.find(tail, at + 1)) {
    std::string result = ResultBefore(run.log, at);
    if (result != qeltest::kBlankAddress + ", ") {
      EXPECT_EQ(qeltest::Address(0xe) + ", ", result) << "a post line's result";
    }
  }
}

TEST(Faults, DataFileMappingIsNoLoad) {
  qeltest::HostRun run = RunFaultHost("datafile", kLoadList);
  ExpectExit(0, run);
  EXPECT_EQ(
      "setup 0\ndata 1 twin 1\npatched 1\nbefore free 4\nfree data 1\nafter free 5 3\n"
      "cleanup 0\nend\n",
      run.report);
  // The calls after the data file's free still reach their functions and are logged.
  std::string log = AllLogs(run);
  const std::string twinTail = ", TwinLength <fault_host.exe>, , \"abcde\"\r\n";
  size_t twinPost = log.find(twinTail, log.find(twinTail) + 1);
  ASSERT_NE(std::string::npos, twinPost) << Calls(run);
  EXPECT_EQ(qeltest::Address(5) + ", ", ResultBefore(log, twinPost));
  // fault_twin.dll came after set-up's module snapshot, so its calls name no module.
  EXPECT_NE(std::string::npos, log.find(", lstrlenA, , \"abcde\"\r\n"));
  EXPECT_NE(std::string::npos, log.find(", lstrlenA <fault_host.exe>, , \"xyz\"\r\n"));
}

TEST(Faults, DeepStackCallsAreTracedTwice) {
  qeltest::HostRun run = RunFaultHost("deep-stack", kBusyList);
  ExpectExit(0, run);
  EXPECT_NE(std::string::npos,
            run.report.find("first 8\nsecond 8\nthread returned 1\ncleanup 0\nend\n"))
      << run.report;
  std::string log = AllLogs(run);
  for (const char* text : {"deep one", "deep two"}) {
    const std::string tail = ", lstrlenA <fault_host.exe>, , \"" + std::string(text) + "\"\r\n";
    EXPECT_NE(std::string::npos, log.find(qeltest::kBlankAddress + ",         " + tail))
        << text << "\n"
        << run.report << Calls(run);
    size_t post = log.find(tail, log.find(tail) + 1);
    ASSERT_NE(std::string::npos, post) << text;
    EXPECT_EQ(qeltest::Address(8) + ", ", ResultBefore(log, post)) << text;
  }
}

TEST(Faults, ALoggedTextIsCutBeforeALeadByte) {
  qeltest::HostRun run = RunFaultHost("halfchar", kBusyList);
  ExpectExit(0, run);
  EXPECT_EQ("setup 0\nlength 300\ncleanup 0\nend\n", run.report);
  int lines = 0;
  for (const std::string& line : qeltest::SplitLines(AllLogs(run))) {
    size_t open = line.find("lstrlenA <fault_host.exe>, , \"");
    if (open == std::string::npos) continue;
    ++lines;
    std::string text = line.substr(line.find('"', open) + 1);
    ASSERT_FALSE(text.empty());
    ASSERT_EQ('"', text.back()) << line;
    text.pop_back();
    EXPECT_GT(text.size(), 200u);
    EXPECT_EQ(0u, text.size() % 2) << "a lone lead byte before the closing quote: " << line;
    EXPECT_EQ(Repeat("\x82\xa0", static_cast<int>(text.size() / 2)),
              text.substr(0, text.size() & ~1u));
  }
  EXPECT_EQ(2, lines);
}

TEST(Faults, ASetUpFailingAfterPatchingRestoresEverySlot) {
  // First the listing's size with no roll-over, to make the roll-over fail just after the
  // host's own slots are patched.
  qeltest::HostRun measure = RunFaultHost("setup", kBusyList);
  ExpectExit(0, measure);
  const std::string patched = "\r\nfault_host.exe, KERNEL32.dll, ";
  size_t at = measure.log.find(patched);
  ASSERT_NE(std::string::npos, at) << measure.log;
  size_t end = measure.log.find("\r\n", at + patched.size());
  ASSERT_NE(std::string::npos, end);
  int maxSize = static_cast<int>(end) - 4;

  qeltest::HostRun run = RunFaultHost("failed-setup", kBusyList, maxSize);
  ExpectExit(0, run);
  EXPECT_EQ(0u, run.report.find("setup -1\nslots into tracer 0\n")) << run.report;
  EXPECT_NE(std::string::npos, run.report.find("slots into tracer after clean-up 0\n"))
      << run.report;
  // The failure came where it was meant to: after the host's line was written.
  EXPECT_NE(std::string::npos, run.log.find(patched)) << run.log;
}

// With flush=0 every line is still written before its call goes on: a host killed with
// TerminateProcess in the middle of its calls leaves each call that returned in the log,
// pre and post line in call order for each thread, and no line cut short.
TEST(Faults, AnUnflushedLogKeepsEveryReturnedCallOfAKilledHost) {
  const char kLengthList[] =
      "[Imported]\r\n"
      "imported_module=KERNEL32.dll\r\n"
      "api=lstrlenA,,,,,,,,,s\r\n"
      "[Import]\r\n"
      "import_module=fault_host.exe\r\n"
      "dll=KERNEL32.dll\r\n";
  qeltest::HostOptions options;
  options.ini = "[Option]\r\nspan=1\r\nmax_size=0\r\nflush=0\r\n";
  options.timeoutMs = 8000;
  qeltest::HostRun run = qeltest::RunHost("fault_host.exe", "until-killed", kLengthList, options);
  ASSERT_EQ(-2, run.exitCode) << "the host should still be calling when it is killed\n"
                              << run.report;
  ASSERT_EQ(0u, run.report.find("setup 0\n")) << run.report;

  // The calls each thread had seen return, from its last whole report line (the report's
  // lines end in LF alone).
  constexpr int kThreads = 4;
  int returned[kThreads] = {};
  for (size_t at = 0; at < run.report.size(); ++at) {
    int thread = 0;
    int count = 0;
    if (sscanf(run.report.c_str() + at, "t%d %d", &thread, &count) == 2 && thread >= 0 &&
        thread < kThreads) {
      returned[thread] = count;
    }
    at = run.report.find('\n', at);
    if (at == std::string::npos) break;
  }
  ASSERT_FALSE(run.log.empty());
  ASSERT_EQ("\r\n", run.log.substr(run.log.size() - 2)) << "the log ends in a cut line";
  std::vector<std::string> logged[kThreads];
  for (const std::string& call : run.calls) {
    int thread = -1;
    size_t quote = call.find(", \"t");
    if (quote != std::string::npos) thread = atoi(call.c_str() + quote + 4);
    ASSERT_TRUE(thread >= 0 && thread < kThreads) << "not a call of the host: " << call;
    logged[thread].push_back(call);
  }
  for (int thread = 0; thread < kThreads; ++thread) {
    EXPECT_GE(returned[thread], 10) << "thread " << thread << " made too few calls to show much";
    const std::vector<std::string>& lines = logged[thread];
    EXPECT_GE(lines.size(), 2u * returned[thread]) << "thread " << thread;
    EXPECT_LE(lines.size(), 2u * returned[thread] + 2) << "thread " << thread;
    // Compared by pieces: the post line's last error column is any hex word.
    const std::string blank = qeltest::kBlankAddress + ", ";
    const std::string nine = qeltest::Address(9) + ", ";
    const size_t lastError = blank.size();
    for (size_t i = 0; i < lines.size(); ++i) {
      char text[32];
      snprintf(text, sizeof text, "\"t%d-%06zu\"", thread, i / 2);
      std::string tail = std::string(", lstrlenA <fault_host.exe>, , ") + text;
      const std::string& line = lines[i];
      bool matches = line.size() == lastError + 8 + tail.size() &&
                     line.compare(0, lastError, i % 2 == 0 ? blank : nine) == 0 &&
                     line.compare(lastError + 8, std::string::npos, tail) == 0;
      ASSERT_TRUE(matches) << "thread " << thread << " line " << i << ": " << line;
    }
  }
}
