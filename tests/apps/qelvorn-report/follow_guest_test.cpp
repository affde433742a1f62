// qelvorn-report.exe --follow on the log of a traced program that is still writing it: the
// fixture host's live scenario, rolling over every few calls, with a call seconds long,
// followed to its clean-up or until the program is killed in that call.
// Both programs run under a watchdog: one that does not end in time is ended and fails.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/process_run.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

// Ends the program, when a failed check leaves it running, before the test returns.
struct EndsAtExit {
  qeltest::Started& program;
  ~EndsAtExit() {
    if (program.process != nullptr) qeltest::Finish(program, 0);
  }
};

size_t FilesIn(const fs::path& folder) {
  std::error_code error;
  size_t count = 0;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    ++count;
  return count;
}

size_t Count(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++count;
  return count;
}

// The console streams end their lines with CR LF.
std::string WithoutCr(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// The fixture host's live scenario, rolling over every few calls, in a fresh folder `work`.
qeltest::Started StartLiveHost(const fs::path& bin, const fs::path& work) {
  fs::remove_all(work);
  fs::create_directories(work / "settings");
  fs::create_directories(work / "logs");
  std::ofstream(work / "settings" / "Qelvorn.ini", std::ios::binary)
      << "[Option]\r\nspan=24\r\nmax_size=3000\r\n";
  std::ofstream(work / "settings" / "Qelvorn.lst", std::ios::binary)
      << "[Imported]\r\nimported_module=KERNEL32.dll\r\n"
         "api=CreateFileA,,,,,,,,,S,4,4,x,4,4,x\r\napi=Sleep,,,,,,,,,d\r\n\r\n"
         "[Import]\r\nimport_module=fixture_host.exe\r\ndll=KERNEL32.dll\r\n";
  return qeltest::StartCaptured(L"",
                                L"\"" + (bin / "fixture_host.exe").wstring() + L"\" live \"" +
                                    (work / "settings").wstring() + L"\\\\\" \"" +
                                    (work / "logs").wstring() + L"\\\\\"",
                                work.wstring() + L"\\");
}

// The first file of the log once it exists, while the host is still calling: slot 00, as the
// tracer takes the first free slot and the folder was empty. Empty after ten seconds.
fs::path FirstLogFile(const fs::path& logs) {
  for (int i = 0; i < 200 && FilesIn(logs) == 0; ++i) Sleep(50);
  fs::path first;
  for (const fs::directory_entry& entry : fs::directory_iterator(logs))
    if (first.empty() || entry.path() < first) first = entry.path();
  return first;
}

qeltest::Started StartFollow(const fs::path& bin, const fs::path& log, const fs::path& work) {
  return qeltest::StartCaptured(
      L"",
      L"\"" + (bin / "qelvorn-report.exe").wstring() + L"\" --follow \"" + log.wstring() + L"\"",
      work.wstring() + L"\\");
}

// The live host and --follow on its first log file, each ended should the test stop early.
struct LiveFollow {
  qeltest::Started host;
  EndsAtExit hostEnds{host};
  qeltest::Started report;
  EndsAtExit reportEnds{report};
  size_t filesAtStart = 0;
};

void StartLiveFollow(const fs::path& bin, const fs::path& work, LiveFollow& run) {
  run.host = StartLiveHost(bin, work);
  ASSERT_NE(run.host.process, nullptr);
  fs::path first = FirstLogFile(work / "logs");
  ASSERT_FALSE(first.empty()) << qeltest::WrittenSoFar(run.host, false)
                              << qeltest::WrittenSoFar(run.host, true);
  run.filesAtStart = FilesIn(work / "logs");
  run.report = StartFollow(bin, first, work);
  ASSERT_NE(run.report.process, nullptr);
}

TEST(FollowGuest, FollowsATracedProgramStillWritingAcrossRollOvers) {
  const fs::path bin = fs::path(qeltest::ProgramDir());
  const fs::path work = bin / "follow-live";
  LiveFollow run;
  ASSERT_NO_FATAL_FAILURE(StartLiveFollow(bin, work, run));
  qeltest::Started& host = run.host;
  qeltest::Started& report = run.report;
  size_t filesAtStart = run.filesAtStart;
  qeltest::Captured hostRun = qeltest::Finish(host, 60000);
  qeltest::Captured reportRun = qeltest::Finish(report, 30000);
  EXPECT_EQ(hostRun.exitCode, 0u) << hostRun.out;
  EXPECT_EQ(reportRun.exitCode, 0u) << reportRun.err;
  size_t filesAtEnd = FilesIn(work / "logs");
  const std::string& out = reportRun.out;
  const std::string& err = reportRun.err;
  EXPECT_GT(filesAtEnd, filesAtStart + 2) << "the log rolled over while it was read";
  EXPECT_NE(err.find("CleanUp OK: the tracing ended"), std::string::npos) << err;
  EXPECT_EQ(Count(out, "  CreateFileA(lpFileName=\"Z:\\no\\such\\"), 40u) << out;
  EXPECT_NE(out.find("  Sleep(dwMilliseconds=2500) ... (in flight)"), std::string::npos) << out;
  EXPECT_EQ(Count(out, "  Sleep returned = "), 1u) << out;
  EXPECT_NE(out.find("files       " + std::to_string(filesAtEnd)), std::string::npos) << out;
  EXPECT_NE(out.find(" texts, 0 unparsed"), std::string::npos) << out;
}

// The traced program killed in its long call, after 21 rounds of the scenario: --follow
// sees the process gone, prints what it got and the summary, and ends with exit code 0.
TEST(FollowGuest, EndsWhenTheTracedProgramIsKilled) {
  const fs::path bin = fs::path(qeltest::ProgramDir());
  const fs::path work = bin / "follow-killed";
  LiveFollow run;
  ASSERT_NO_FATAL_FAILURE(StartLiveFollow(bin, work, run));
  qeltest::Started& host = run.host;
  qeltest::Started& report = run.report;
  ASSERT_TRUE(
      qeltest::WaitForText(report, false, "  Sleep(dwMilliseconds=2500) ... (in flight)", 30000))
      << qeltest::WrittenSoFar(report, false) << qeltest::WrittenSoFar(report, true);
  ASSERT_TRUE(TerminateProcess(host.process, 7));
  qeltest::Captured reportRun = qeltest::Finish(report, 30000);
  qeltest::Captured hostRun = qeltest::Finish(host, 10000);
  EXPECT_EQ(hostRun.exitCode, 7u);
  const std::string out = WithoutCr(reportRun.out);
  const std::string err = WithoutCr(reportRun.err);
  EXPECT_EQ(reportRun.exitCode, 0u) << err;
  EXPECT_EQ(err, "qelvorn-report: process " + std::to_string(host.pid) + " has ended\n");
  EXPECT_EQ(Count(out, "  CreateFileA(lpFileName=\"Z:\\no\\such\\"), 21u) << out;
  EXPECT_EQ(Count(out, "  Sleep(dwMilliseconds=50) = 00000000"), 21u) << out;
  EXPECT_EQ(Count(out, "  Sleep returned = "), 0u) << out;
  EXPECT_NE(out.find("  clean-up    not in the log\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nCalls in flight at the end of the log: 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" texts, 0 unparsed"), std::string::npos) << out;
}

}  // namespace
