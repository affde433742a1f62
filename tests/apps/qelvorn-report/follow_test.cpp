// --follow on logs a writer thread is still writing: lines handed on only whole, calls in
// flight written after a while and their results later, the next file of the ring taken up
// at a roll-over (also one whose slot held an older file), the end at CleanUp OK, at a stop
// or when the traced process is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "call_listing.h"
#include "log_follow.h"
#include "log_series.h"
#include "report_command.h"
#include "report_model.h"
#include "text_summary.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qel::report::CallListing;
using qel::report::FollowEnd;
using qel::report::FollowLog;
using qel::report::FollowResult;
using qel::report::FollowSettings;
using qel::report::LineReader;
using qel::report::LogFile;
using qel::report::ReadLine;
using qel::report::ReportBuilder;
using qel::report::ReportOptions;
using qel::report::TailReader;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

fs::path FreshFolder(const std::string& name) {
  fs::path folder = fs::path(::testing::TempDir()) / name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

// Appends to a file as the tracer does: each piece written and flushed at once.
class Writer {
 public:
  explicit Writer(const fs::path& path) : file_(std::fopen(path.string().c_str(), "wb")) {}
  ~Writer() { Close(); }
  void Write(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::fflush(file_);
  }
  void Close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
  }

 private:
  std::FILE* file_;
};

// The reader's lines after each piece is written, "text|ended|cut", then what is left.
std::vector<std::string> TailLines(const std::vector<std::string>& pieces) {
  fs::path path = FreshFolder("qel-tail") / "log.txt";
  Writer writer(path);
  std::FILE* file = std::fopen(path.string().c_str(), "rb");
  TailReader reader(file);
  std::vector<std::string> lines;
  ReadLine line;
  auto note = [&] {
    std::string text(line.text);
    if (text.size() > 16) text = text.substr(0, 8) + "~" + std::to_string(text.size());
    lines.push_back(text + "|" + (line.ended ? "1" : "0") + "|" + std::to_string(line.cut));
  };
  for (const std::string& piece : pieces) {
    writer.Write(piece);
    for (size_t got = 1; got > 0;) {
      while (reader.Next(&line)) note();
      EXPECT_TRUE(reader.Read(&got));
    }
    while (reader.Next(&line)) note();
    lines.push_back("-");
  }
  while (reader.Rest(&line)) note();
  std::fclose(file);
  return lines;
}

TEST(Follow, TailReaderHandsOnWholeLinesOnly) {
  struct TailCase {
    const char* name;
    std::vector<std::string> pieces;
    std::vector<std::string> lines;
  };
  const std::string a(LineReader::kLineLimit + 10, 'a');
  const TailCase cases[] = {
      {"a line end split between writes", {"ab\r", "\ncd\r\n"}, {"-", "ab|1|0", "cd|1|0", "-"}},
      {"half a line, then the rest",
       {"01:00:00:005,   1, 004", "01000, 0\r\n"},
       {"-", "01:00:00~30|1|0", "-"}},
      {"a bare LF is text", {"a\nb\r\n"}, {"a\nb|1|0", "-"}},
      {"a last line never ended", {"ab\r\ncd"}, {"ab|1|0", "-", "cd|0|0"}},
      {"an overlong line ended in the next write",
       {a + "\r", "\nx\r\n"},
       {"-", "aaaaaaaa~1048576|1|10", "x|1|0", "-"}},
      {"an overlong line ended later",
       {a, "bb", "b\r\nx\r\n"},
       {"-", "-", "aaaaaaaa~1048576|1|13", "x|1|0", "-"}},
      {"an overlong line never ended", {a}, {"-", "aaaaaaaa~1048576|0|10"}},
  };
  for (const TailCase& c : cases) EXPECT_EQ(TailLines(c.pieces), c.lines) << c.name;
}

const char kHead[] =
    "2026/12/10 01:00:00\r\n\r\n[time],       [th],[ret adr],[ret],    [LastEr], [API], "
    "[Option], [P1], [P2], ...\r\n\r\n";

std::string Pre(const char* clock, int thread, const char* api) {
  return std::string(clock) + ",   " + std::to_string(thread) + ", 00401000,         ,         , " +
         api + " <a.exe>, , 1\r\n";
}

std::string Post(const char* clock, int thread, const char* api) {
  return std::string(clock) + ",   " + std::to_string(thread) + ", 00401000, 00000000, 00000000, " +
         api + " <a.exe>, , 1\r\n";
}

// A call that stays open is written in flight and does not hold back the calls after it;
// a line written in two halves is read once whole; a stop ends the following.
// FollowLog on log in a thread of its own, with what it fills kept for the checks.
struct Following {
  Following(const fs::path& log, const FollowSettings& settings)
      : builder(options), listing(options, nullptr, out) {
    file.path = log.string();
    file.name = log.filename().string();
    result = std::async(std::launch::async, [this, settings] {
      return FollowLog(file, settings, builder, listing, out);
    });
  }
  ReportOptions options;
  ReportBuilder builder;
  std::ostringstream out;
  CallListing listing;
  LogFile file;
  std::future<FollowResult> result;
};

TEST(Follow, CallsInFlightAndHalfWrittenLines) {
  fs::path folder = FreshFolder("qel-follow-flight");
  fs::path log = folder / "$$$a00$$$(77).txt";
  Writer writer(log);
  writer.Write(kHead);
  std::atomic<bool> stop{false};
  FollowSettings settings;
  settings.poll = 5ms;
  // Well above the 100 ms a line stays half-written, well below the 1 s B stays open.
  settings.inFlight = 400ms;
  settings.stop = &stop;
  Following run(log, settings);
  ReportBuilder& builder = run.builder;
  std::ostringstream& out = run.out;
  CallListing& listing = run.listing;
  std::future<FollowResult>& following = run.result;
  std::string postA = Post("01:00:00:005", 1, "A");
  writer.Write(Pre("01:00:00:000", 1, "A") + postA.substr(0, 30));
  std::this_thread::sleep_for(100ms);
  writer.Write(postA.substr(30));
  writer.Write(Pre("01:00:00:010", 2, "B") + Pre("01:00:00:020", 1, "C") +
               Post("01:00:00:025", 1, "C"));
  std::this_thread::sleep_for(1000ms);
  writer.Write(Post("01:00:01:000", 2, "B"));
  std::this_thread::sleep_for(200ms);
  stop = true;
  ASSERT_EQ(following.wait_for(10s), std::future_status::ready);
  FollowResult result = following.get();
  EXPECT_EQ(result.end, FollowEnd::kStopped);
  listing.Finish();
  EXPECT_EQ(out.str(),
            "01:00:00:000   1  A [columns: , 1] = 00000000 (5 ms)\n"
            "01:00:00:010   2  B [columns: , 1] ... (in flight)\n"
            "01:00:00:020   1  C [columns: , 1] = 00000000 (5 ms)\n"
            "01:00:01:000   2  B returned = 00000000 (990 ms)\n");
  qel::report::Report& report = builder.Finish();
  EXPECT_EQ(report.unparsed, 0u);
  EXPECT_EQ(report.callLines, 6u);
}

// A traced process that is killed: what it wrote up to its end is read, also what arrived
// between the last read and the moment it was seen gone, and a last line it was cut off in;
// its call left open ends the listing, and the summary is that of the finished log.
TEST(Follow, EndsWhenTheTracedProcessIsGone) {
  fs::path folder = FreshFolder("qel-follow-gone");
  fs::path log = folder / "$$$a00$$$(77).txt";
  Writer writer(log);
  writer.Write(kHead);
  std::atomic<bool> killed{false};
  std::vector<long long> asked;
  FollowSettings settings;
  settings.poll = 5ms;
  settings.inFlight = 10s;
  settings.processGone = [&](long long pid) {
    asked.push_back(pid);
    if (!killed) return false;
    // Its last lines, written just before it ended, after the reads had caught up.
    writer.Write(Pre("01:00:00:030", 1, "D") + Post("01:00:00:031", 1, "D") + "01:00:00:03");
    writer.Close();
    return true;
  };
  Following run(log, settings);
  ReportOptions& options = run.options;
  ReportBuilder& builder = run.builder;
  std::ostringstream& out = run.out;
  CallListing& listing = run.listing;
  std::future<FollowResult>& following = run.result;
  writer.Write(Pre("01:00:00:000", 1, "A") + Post("01:00:00:005", 1, "A") +
               Pre("01:00:00:010", 2, "B") + Pre("01:00:00:020", 1, "C"));
  std::this_thread::sleep_for(100ms);
  writer.Write(Post("01:00:00:025", 1, "C"));
  std::this_thread::sleep_for(100ms);
  killed = true;
  ASSERT_EQ(following.wait_for(10s), std::future_status::ready) << "--follow did not end";
  FollowResult result = following.get();
  EXPECT_EQ(result.end, FollowEnd::kProcessGone);
  EXPECT_EQ(result.message, "process 77 has ended");
  EXPECT_TRUE(std::all_of(asked.begin(), asked.end(), [](long long pid) { return pid == 77; }));
  listing.Finish();
  EXPECT_EQ(out.str(),
            "01:00:00:000   1  A [columns: , 1] = 00000000 (5 ms)\n"
            "01:00:00:010   2  B [columns: , 1] ... no post line: in flight at the end of the log\n"
            "01:00:00:020   1  C [columns: , 1] = 00000000 (5 ms)\n"
            "01:00:00:030   1  D [columns: , 1] = 00000000 (1 ms)\n");
  qel::report::Report& report = builder.Finish();
  report.program = "a";
  report.pid = 77;
  std::ostringstream followed, finished, none;
  qel::report::WriteTextSummary(report, options, followed);
  ASSERT_EQ(qel::report::RunReport({log.string()}, finished, none), 0) << none.str();
  EXPECT_EQ(followed.str(), finished.str());
}

// The rolled fixture series written again file by file, each in two halves, with an older
// file in the slot the ring comes round to: followed from its first file, the output is
// that of --calls and the summary on the finished series. With `coarse` every file keeps
// one and the same time, as under Wine, whose file times go by the second; the folder is
// named, while two files of the series already exist.
void ReplayTheRing(bool coarse) {
  const fs::path fixtures = fs::path(QEL_REPORT_TEST_DIR) / "fixtures" / "rollover";
  const std::string lists = std::string(QEL_SOURCE_DIR) + "/lists";
  fs::path folder = FreshFolder(coarse ? "qel-follow-ring-coarse" : "qel-follow-ring");
  const fs::file_time_type instant = fs::file_time_type::clock::now() - 10min;
  std::vector<std::string> order;
  for (int slot : {25, 26, 27, 28, 29, 30, 0, 1, 2, 3, 4, 5, 6, 7}) {
    char name[64];
    std::snprintf(name, sizeof name, "$$$fixture_host%02d$$$(308).txt", slot);
    order.push_back(name);
  }
  // The ring's slot 00 holds a file of an earlier run of the same process id.
  {
    std::ofstream stale(folder / order[6], std::ios::binary);
    stale << "01:00:00:000,   1, 00401000,         ,         , Stale <a.exe>, , 1\r\n";
  }
  fs::last_write_time(folder / order[6], fs::file_time_type::clock::now() - 1h);
  auto write = [&](size_t i, size_t from, size_t to) {
    std::string bytes = ReadAll(fixtures / order[i]);
    to = std::min(to, bytes.size());
    std::ofstream(folder / order[i], std::ios::binary | std::ios::app)
        << bytes.substr(from, to - from);
    if (coarse) fs::last_write_time(folder / order[i], instant);
    return bytes.size();
  };
  // Written before the report starts: half the first file, or the first and half the next.
  size_t ready = coarse ? 1 : 0;
  if (coarse) write(0, 0, std::string::npos);
  const size_t readyHalf = ReadAll(fixtures / order[ready]).size() / 2;
  write(ready, 0, readyHalf);
  std::ostringstream out, err;
  std::string named = coarse ? folder.string() : (folder / order[0]).string();
  std::future<int> following = std::async(std::launch::async, [&] {
    return qel::report::RunReport({"--follow", "--lists", lists, named}, out, err);
  });
  for (size_t i = ready; i < order.size(); ++i) {
    size_t size = ReadAll(fixtures / order[i]).size();
    size_t half = i == ready ? readyHalf : 0;
    std::this_thread::sleep_for(30ms);
    if (i > ready) {
      // The tracer deletes the files of the slot it takes, then creates its file anew.
      fs::remove(folder / order[i]);
    }
    // Each file in two writes that end mid-line.
    size_t middle = half + (size - half) / 2;
    write(i, half, middle);
    std::this_thread::sleep_for(30ms);
    write(i, middle, size);
  }
  if (following.wait_for(20s) != std::future_status::ready) {
    std::raise(SIGINT);
    following.wait();
    FAIL() << "--follow did not end at CleanUp OK";
  }
  EXPECT_EQ(following.get(), 0) << err.str();
  EXPECT_EQ(err.str(), "qelvorn-report: CleanUp OK: the tracing ended\n");
  std::ostringstream calls, summary, none;
  ASSERT_EQ(qel::report::RunReport({"--calls", "--lists", lists, fixtures.string()}, calls, none),
            0);
  ASSERT_EQ(qel::report::RunReport({fixtures.string()}, summary, none), 0);
  EXPECT_EQ(out.str(), calls.str() + "\n" + summary.str());
}

TEST(Follow, FollowsTheRingAcrossRollOversToCleanUp) {
  ReplayTheRing(false);
}

TEST(Follow, FollowsTheRingWhenFileTimesAreCoarse) {
  ReplayTheRing(true);
}

}  // namespace
