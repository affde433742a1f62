// qelvorn-report.exe --follow on the log of a traced program that is still writing it: the
// fixture host's live scenario, rolling over every few calls, with a call seconds long.
// Both programs run under a watchdog: one that does not end in time is ended and fails.
#include <windows.h>

#include <gtest/gtest.h>

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

TEST(FollowGuest, FollowsATracedProgramStillWritingAcrossRollOvers) {
  const fs::path bin = fs::path(qeltest::ProgramDir());
  const fs::path work = bin / "follow-live";
  fs::remove_all(work);
  fs::create_directories(work / "settings");
  fs::create_directories(work / "logs");
  std::ofstream(work / "settings" / "Qelvorn.ini", std::ios::binary)
      << "[Option]\r\nspan=24\r\nmax_size=3000\r\n";
  std::ofstream(work / "settings" / "Qelvorn.lst", std::ios::binary)
      << "[Imported]\r\nimported_module=KERNEL32.dll\r\n"
         "api=CreateFileA,,,,,,,,,S,4,4,x,4,4,x\r\napi=Sleep,,,,,,,,,d\r\n\r\n"
         "[Import]\r\nimport_module=fixture_host.exe\r\ndll=KERNEL32.dll\r\n";
  const std::wstring folder = work.wstring() + L"\\";
  qeltest::Started host = qeltest::StartCaptured(
      L"",
      L"\"" + (bin / "fixture_host.exe").wstring() + L"\" live \"" + (work / "settings").wstring() +
          L"\\\\\" \"" + (work / "logs").wstring() + L"\\\\\"",
      folder);
  EndsAtExit hostEnds{host};
  ASSERT_NE(host.process, nullptr);
  // The report starts on the first file once it exists, while the host is still calling.
  for (int i = 0; i < 200 && FilesIn(work / "logs") == 0; ++i) Sleep(50);
  size_t filesAtStart = FilesIn(work / "logs");
  ASSERT_GT(filesAtStart, 0u) << qeltest::WrittenSoFar(host, false)
                              << qeltest::WrittenSoFar(host, true);
  // Slot 00: the tracer takes the first free slot, and the folder was empty.
  fs::path first;
  for (const fs::directory_entry& entry : fs::directory_iterator(work / "logs"))
    if (first.empty() || entry.path() < first) first = entry.path();
  qeltest::Started report = qeltest::StartCaptured(
      L"",
      L"\"" + (bin / "qelvorn-report.exe").wstring() + L"\" --follow \"" + first.wstring() + L"\"",
      folder);
  EndsAtExit reportEnds{report};
  ASSERT_NE(report.process, nullptr);
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

}  // namespace
