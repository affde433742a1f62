// Logs whose text arguments were written to hurt the report: control bytes, bare line
// ends, overlong lines, date lines that contradict the clock, and shapes that once made
// the work or the summary grow with the square of the log. Each case is the smallest log
// that shows its fault, run end to end through the command.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "report_command.h"

namespace {

namespace fs = std::filesystem;

// Five lines: the tracer's head with thread 1; the case's lines start at line 6.
const char kHead[] =
    "2026/12/10 10:00:00\r\n"
    "\r\n[time],       [th],[ret adr],[ret],    [LastEr], [API], [Option], [P1], [P2], ...\r\n"
    "\r\n"
    "new thread : (  1) 00000024\r\n";

// A pre or post line of thread 1 at 10:00:00 plus `ms`.
std::string Call(bool post, int ms, const std::string& api, const std::string& args) {
  char time[32];
  std::snprintf(time, sizeof time, "10:00:%02d:%03d,   1, 00401000, ", ms / 1000 % 60, ms % 1000);
  return time + std::string(post ? "00000000, 00000000, " : "        ,         , ") + api +
         " <a.exe>, , " + args + "\r\n";
}

std::string Pre(int ms, const std::string& api, const std::string& args = "") {
  return Call(false, ms, api, args);
}
std::string Post(int ms, const std::string& api, const std::string& args = "") {
  return Call(true, ms, api, args);
}

class HostileLog : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qel-hostile-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  // Writes `body` behind the head as t.txt and returns its path.
  std::string WriteLog(const std::string& body) {
    std::string path = (dir_ / "t.txt").string();
    std::ofstream(path, std::ios::binary) << kHead << body;
    return path;
  }
  std::string Summary(const std::string& body) {
    std::ostringstream out, err;
    int code = qel::report::RunReport({WriteLog(body)}, out, err);
    EXPECT_EQ(code, 0) << err.str();
    return out.str();
  }
  std::string Page(const std::string& body) {
    std::string page = (dir_ / "t.html").string();
    std::ostringstream out, err;
    EXPECT_EQ(qel::report::RunReport({"--html", page, WriteLog(body)}, out, err), 0) << err.str();
    std::ifstream in(page, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  fs::path dir_;
};

// Every byte a terminal could act on: C0 controls but the summary's own LF, DEL, and the
// C1 controls as UTF-8.
std::string FirstControl(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool c1 = c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xa0;
    if ((c < 0x20 && c != '\n') || c == 0x7f || c1) {
      return "byte " + std::to_string(c) + " at " + std::to_string(i);
    }
  }
  return "";
}

bool HasLine(const std::string& summary, const std::string& line) {
  return ("\n" + summary).find("\n" + line + "\n") != std::string::npos;
}

struct SanitiseCase {
  const char* name;
  std::string body;
  std::vector<std::string> lines;  // whole lines the summary must hold
};

TEST_F(HostileLog, ControlBytesAreEscapedInTheSummaryAndThePage) {
  const SanitiseCase cases[] = {
      {"retitle", "\x1b]0;owned\x07\r\n", {"  t.txt:6: \\x1b]0;owned\\x07"}},
      {"clear the screen",
       Pre(0, "Sleep", "\x1b[2J\x1b[H") + Post(5, "Sleep", "1"),
       {"    10:00:00:000,   1, 00401000,         ,         , Sleep <a.exe>, , \\x1b[2J\\x1b[H"}},
      {"NUL BEL DEL TAB",
       std::string("a\0b\x07"
                   "c\x7f\td\r\n",
                   10),
       {"  t.txt:6: a\\x00b\\x07c\\x7f\\td"}},
      {"bare CR overwrites the line", "safe\rEVIL\r\n", {"  t.txt:6: safe\\rEVIL"}},
      {"bare LF in a text argument",
       Pre(0, "fputs", "\"\n7-Zip\n\"") + Post(5, "fputs", "00000001"),
       {"    10:00:00:000,   1, 00401000,         ,         , fputs <a.exe>, , \"\\n7-Zip\\n\""}},
      {"a pre line left open",
       Pre(0, "Sleep", "\x1b[31mred"),
       {"    10:00:00:000,   1, 00401000,         ,         , Sleep <a.exe>, , \\x1b[31mred"}},
  };
  for (const SanitiseCase& c : cases) {
    std::string summary = Summary(c.body);
    EXPECT_EQ(FirstControl(summary), "") << c.name;
    EXPECT_EQ(FirstControl(Page(c.body)), "") << c.name << ": in the page";
    for (const std::string& line : c.lines) {
      EXPECT_TRUE(HasLine(summary, line)) << c.name << ": no line\n" << line;
    }
  }
}

// A folder can hold any file name; the message names it without acting on the terminal.
TEST_F(HostileLog, FileNamesAreEscapedInMessages) {
  struct NameCase {
    std::string name;
    const char* shown;
  };
  const NameCase cases[] = {
      {"a\x1b[2J.txt", "a\\x1b[2J.txt: not a trace log"},
      {"b\nforged: done\x07.txt", "b\\nforged: done\\x07.txt: not a trace log"},
      {"c\r.txt", "c\\r.txt: not a trace log"},
  };
  for (const NameCase& c : cases) {
    std::string path = (dir_ / c.name).string();
    std::ofstream(path, std::ios::binary) << "hello\r\n";
    std::ostringstream out, err;
    EXPECT_EQ(qel::report::RunReport({path}, out, err), 3);
    EXPECT_NE(err.str().find(c.shown), std::string::npos) << c.shown;
    EXPECT_EQ(FirstControl(err.str()), "") << c.shown;
  }
}

struct ReadingCase {
  const char* name;
  std::string body;
  std::vector<std::string> lines;   // whole lines the summary must hold
  std::vector<std::string> absent;  // texts it must not hold
};

TEST_F(HostileLog, LinesEndOnlyAtCrLf) {
  const std::string big(2 << 20, 'x');
  std::string startUp;
  for (int i = 1; i < 256; ++i) startUp.push_back(static_cast<char>(i));
  const ReadingCase cases[] = {
      // The text after the LF would read as a call of thread 9 with its own duration.
      {"a forged call line behind a bare LF",
       Pre(0, "fputs",
           "\"x\n10:00:00:001,   9, 00401000,         ,         , Forged <a.exe>, , \"") +
           Post(5, "fputs", "1") + "after\r\n",
       {"  lines       8: 2 call lines, 1 texts, 0 unparsed", "  5 ms, thread 1, t.txt:6",
        "  t.txt:8: after"},
       {"\n  Forged ", "\n       9  "}},
      {"a forged call line behind a bare CR",
       Pre(0, "fputs",
           "\"x\r10:00:00:001,   9, 00401000, 00000000, 00000000, Forged <a.exe>, , \"") +
           Post(5, "fputs", "1") + "after\r\n",
       {"  lines       8: 2 call lines, 1 texts, 0 unparsed", "  5 ms, thread 1, t.txt:6",
        "  t.txt:8: after"},
       {"\n  Forged ", "\n       9  "}},
      {"bare LFs from the C runtime's start-up",
       Pre(0, "WriteFile", "\"" + startUp + "\"") + Post(3, "WriteFile", "1") + "after\r\n",
       {"  lines       8: 2 call lines, 1 texts, 0 unparsed", "  3 ms, thread 1, t.txt:6",
        "  t.txt:8: after"},
       {}},
      // The pair stays a pair, and the lines after it keep their numbers.
      {"a 2 MiB argument",
       Pre(0, "WriteFile", big) + Post(5, "WriteFile", "1") + "after\r\n",
       {"  lines       8: 2 call lines, 1 texts, 0 unparsed, 1 cut at 1 MiB",
        "  5 ms, thread 1, t.txt:6", "  t.txt:8: after"},
       {}},
      {"a 2 MiB text",
       big + "\r\n" + Pre(10, "Sleep") + Post(15, "Sleep") + "after\r\n",
       {"  lines       9: 2 call lines, 2 texts, 0 unparsed, 1 cut at 1 MiB",
        "  5 ms, thread 1, t.txt:7", "  t.txt:9: after"},
       {}},
      // A program writes a date line itself: the clock alone says when a day begins.
      {"a date line hours ahead of the clock",
       Pre(0, "Sleep") + "2026/12/10 23:00:00\r\n" + Post(5, "Sleep"),
       {"  5 ms, thread 1, t.txt:6", "       1  00000024      1  10:00:00:000  10:00:00:005"},
       {"86400005", "+1d"}},
      {"a date line a day ahead",
       Pre(0, "Sleep") + "2026/12/11 10:00:00\r\n" + Post(5, "Sleep"),
       {"  5 ms, thread 1, t.txt:6", "       1  00000024      1  10:00:00:000  10:00:00:005"},
       {"86400005", "+1d"}},
  };
  for (const ReadingCase& c : cases) {
    std::string summary = Summary(c.body);
    EXPECT_EQ(FirstControl(summary), "") << c.name;
    for (const std::string& line : c.lines) {
      EXPECT_TRUE(HasLine(summary, line)) << c.name << ": no line\n" << line;
    }
    for (const std::string& text : c.absent) {
      EXPECT_EQ(summary.find(text), std::string::npos) << c.name << ": holds " << text;
    }
  }
}

// A call line of thread 1 at 10:00:00 plus `ms`, its return address, result and last-error
// columns given whole ("ADR, RET, ERR,"), a Sleep call.
std::string Columns(int ms, const std::string& columns) {
  char time[32];
  std::snprintf(time, sizeof time, "10:00:%02d:%03d,   1, ", ms / 1000 % 60, ms % 1000);
  return time + columns + " Sleep <a.exe>, , 1\r\n";
}

const std::string kPre64 = "0000000140001000,                 ,         ,";

std::string Post64(const std::string& address, const std::string& result,
                   const std::string& lastError = "00000000") {
  return address + ", " + result + ", " + lastError + ",";
}

struct WidthCase {
  const char* name;
  std::string pre;   // line 6, whose width the log takes
  std::string post;  // line 7, which breaks a rule of the width
  const char* reason;
};

// One log is one width: a 16-digit column must hold 16 hex digits, the 32-bit last error
// keeps 8, and a line of the other width is unparsed rather than read into the wrong log.
TEST_F(HostileLog, SixteenDigitColumnsAreReadWholeOrNotAtAll) {
  const std::string ok16 = "0000000140001000";
  const WidthCase cases[] = {
      {"a 16-digit return address with a bad digit", kPre64,
       Post64("000000014000100g", "0000000000000000"), "bad return address column"},
      {"a 15-digit return address", kPre64, Post64("000000014000100", "0000000000000000"),
       "bad return address column"},
      {"a 17-digit return address, past 64 bits", kPre64,
       Post64("10000000140001000", "0000000000000000"), "bad return address column"},
      {"a 16-digit result with a bad digit", kPre64, Post64(ok16, "ffffffffffffff-f"),
       "bad result or last-error column"},
      {"a 15-digit result", kPre64, Post64(ok16, "fffffffffffffff"),
       "bad result or last-error column"},
      {"a 17-digit result, past 64 bits", kPre64, Post64(ok16, "1ffffffffffffffff"),
       "bad result or last-error column"},
      {"an 8-digit result behind a 16-digit return address", kPre64, Post64(ok16, "00000000"),
       "bad result or last-error column"},
      {"a 16-digit last error", kPre64, Post64(ok16, "0000000000000000", "0000000000000003"),
       "bad result or last-error column"},
      {"a pre line's blanks 8 wide behind a 16-digit return address", kPre64,
       ok16 + ",         ,         ,", "bad result or last-error column"},
      {"a 32-bit line in a 64-bit log", kPre64, "00401000, 00000000, 00000000,",
       "8-digit columns in a log of 16-digit ones"},
      {"a 64-bit line in a 32-bit log", "00401000,         ,         ,",
       Post64(ok16, "0000000000000000"), "16-digit columns in a log of 8-digit ones"},
  };
  for (const WidthCase& c : cases) {
    std::string summary = Summary(Columns(0, c.pre) + Columns(5, c.post));
    const std::string lines[] = {
        "  lines       7: 1 call lines, 0 texts, 1 unparsed",
        "  t.txt:7 (" + std::string(c.reason) + "): 10:00:00:005,   1, " + c.post +
            " Sleep <a.exe>, , 1",
        "Calls in flight at the end of the log: 1",
        "    10:00:00:000,   1, " + c.pre + " Sleep <a.exe>, , 1",
    };
    for (const std::string& line : lines) {
      EXPECT_TRUE(HasLine(summary, line)) << c.name << ": no line\n" << line << "\nin\n" << summary;
    }
  }
  // The same pair, well formed, is one call with a 64-bit result.
  std::string summary =
      Summary(Columns(0, kPre64) + Columns(5, Post64(ok16, "fffffffffffffffe", "00000006")));
  EXPECT_TRUE(HasLine(summary, "  lines       7: 2 call lines, 0 texts, 0 unparsed")) << summary;
  EXPECT_TRUE(HasLine(summary, "              results     fffffffffffffffe x1")) << summary;
}

// Counts what is written and keeps nothing; fails once past the limit.
class CountingBuffer : public std::streambuf {
 public:
  explicit CountingBuffer(uint64_t limit) : limit_(limit) {}
  uint64_t count() const { return count_; }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return 0;
    return ++count_ > limit_ ? traits_type::eof() : c;
  }
  std::streamsize xsputn(const char*, std::streamsize n) override {
    count_ += static_cast<uint64_t>(n);
    return count_ > limit_ ? 0 : n;
  }

 private:
  uint64_t limit_;
  uint64_t count_ = 0;
};

struct Bounded {
  bool finished = false;  // within the time
  int code = -1;
  uint64_t output = 0;  // bytes of summary, limit + 1 when more were attempted
};

// Runs the command in a child process so that a hang or runaway output ends the case,
// not the test program.
Bounded RunBounded(const std::vector<std::string>& arguments, uint64_t outputLimit,
                   std::chrono::seconds time) {
  Bounded result;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return result;
  pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    CountingBuffer counter(outputLimit);
    std::ostream out(&counter);
    std::ostringstream err;
    int code = qel::report::RunReport(arguments, out, err);
    uint64_t count = counter.count();
    if (write(pipeEnds[1], &count, sizeof count) != sizeof count) code = 99;
    _exit(code);
  }
  close(pipeEnds[1]);
  auto deadline = std::chrono::steady_clock::now() + time;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      close(pipeEnds[0]);
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  result.finished = true;
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (read(pipeEnds[0], &result.output, sizeof result.output) != sizeof result.output) {
    result.output = 0;
  }
  close(pipeEnds[0]);
  return result;
}

struct BoundedCase {
  const char* name;
  std::string body;
  uint64_t outputLimit;
};

// Limits far above what the report needs (well under a second for each log), and far
// below what a square-law reading would take.
TEST_F(HostileLog, WorkAndOutputStayLinear) {
  constexpr int kDepth = 100000;
  std::string deep, unmatched, closing;
  for (int i = 0; i < kDepth; ++i) {
    deep += Pre(i % 1000, "Open");
    unmatched += Post(i % 1000, "Stray");
    closing += Post(i % 1000, "Open");
  }
  const BoundedCase cases[] = {
      {"100,000 calls in flight", deep, 64 << 10},
      {"100,000 posts without their pre line above 100,000 open calls", deep + unmatched + closing,
       64 << 10},
  };
  for (const BoundedCase& c : cases) {
    std::string log = WriteLog(c.body);
    Bounded run = RunBounded({log}, c.outputLimit, std::chrono::seconds(20));
    EXPECT_TRUE(run.finished) << c.name << ": still running after 20 s";
    EXPECT_EQ(run.code, 0) << c.name;
    EXPECT_LE(run.output, c.outputLimit) << c.name;
  }
}

// The decoded calls of 200,000 calls in flight: a line per call, and once the lines held
// back pass their bound, each is written unfinished, its call found without a search.
TEST_F(HostileLog, DecodedCallsStayLinear) {
  constexpr int kDepth = 200000;
  std::string deep;
  for (int i = 0; i < kDepth; ++i) deep += Pre(i % 1000, "Open");
  constexpr uint64_t kOutputLimit = 64 << 20;
  Bounded calls = RunBounded({"--calls", WriteLog(deep)}, kOutputLimit, std::chrono::seconds(20));
  EXPECT_TRUE(calls.finished) << "still running after 20 s";
  EXPECT_EQ(calls.code, 0);
  EXPECT_GT(calls.output, 0u);
  EXPECT_LE(calls.output, kOutputLimit);
}

}  // namespace
