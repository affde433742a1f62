// Nothing lost under load: sixteen threads of traced calls of every kind while the host
// writes its own lines, once into one log and once rolling over twenty-odd times; then eight
// threads with the log unflushed (flush=0), the same two ways. Every line must be whole,
// each thread's lines in call order, each call exact.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "faults/stress_calls.h"
#include "support/host_run.h"
#include "support/test_support.h"

namespace {

constexpr int kThreads = 16;
constexpr int kUnflushedThreads = 8;
// The emulated test guest makes a few hundred traced calls a second, and shares its cores:
// 140 a thread (20 of each kind) keeps both runs within two minutes there.
constexpr int kCallsPerThread = 140;

const char kHookList[] =
    "[Imported]\r\n"
    "imported_module=KERNEL32.dll\r\n"
    "api=lstrlenA,,,,,,,,,s\r\n"
    "api=lstrlenW,,,,,,,,,w\r\n"
    "imported_module=fault_lib.dll\r\n"
    "api=FaultAdd,,1,,,,,,,d,d\r\n"
    "api=FaultRatio,,1,,,,,,,d,d\r\n"
    "api=FaultSetError,,,,,,,,,d\r\n"
    "api=FaultSkipped,,,1,,,,,,d\r\n"
    "api=FaultWide,,,,,,,,,4,4\r\n"
    "[Import]\r\n"
    "import_module=stress_host.exe\r\n"
    "dll=KERNEL32.dll\r\n"
    "dll=fault_lib.dll\r\n";

// flush is the [Option]flush line's value, or empty for none.
qeltest::HostRun RunStress(int threads, int maxSize, const std::string& flush = "") {
  qeltest::HostOptions options;
  options.ini = "[Option]\r\nspan=1\r\nmax_size=" + std::to_string(maxSize) + "\r\n";
  if (!flush.empty()) options.ini += "flush=" + flush + "\r\n";
  options.timeoutMs = 240000;
  DWORD started = GetTickCount();
  std::string scenario = std::to_string(kCallsPerThread) + "x" + std::to_string(threads);
  qeltest::HostRun run = qeltest::RunHost("stress_host.exe", scenario, kHookList, options);
  printf("stress host, %d threads, max_size %d%s: %lu ms\n", threads, maxSize,
         flush.empty() ? "" : (", flush=" + flush).c_str(), GetTickCount() - started);
  return run;
}

size_t TotalBytes(const std::vector<std::string>& logs) {
  size_t bytes = 0;
  for (const std::string& log : logs) bytes += log.size();
  return bytes;
}

bool IsHex(const std::string& text, size_t at, size_t count) {
  if (at + count > text.size()) return false;
  for (size_t i = at; i < at + count; ++i) {
    if (!isdigit(static_cast<unsigned char>(text[i])) && !(text[i] >= 'a' && text[i] <= 'f')) {
      return false;
    }
  }
  return true;
}

// "hh:mm:ss:mmm, ttt, " and the return address, then the result and last error (hex or
// blanks) and the text. Addresses and results are as wide as a pointer, last errors 8 digits.
constexpr size_t kAddressDigits = 2 * sizeof(void*);
constexpr size_t kReturnAt = 19;
constexpr size_t kResultAt = kReturnAt + kAddressDigits + 2;
constexpr size_t kLastErrorAt = kResultAt + kAddressDigits + 2;
constexpr size_t kTextAt = kLastErrorAt + 8 + 2;

struct CallLine {
  int thread = 0;
  std::string result;
  std::string lastError;
  std::string text;
};

bool ParseCallLine(const std::string& line, CallLine& call) {
  static const char shape[] = "dd:dd:dd:ddd, ";
  if (line.size() <= kTextAt) return false;
  for (size_t i = 0; i + 1 < sizeof shape; ++i) {
    if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i]) {
      return false;
    }
  }
  std::string thread = line.substr(14, 3);
  size_t digits = thread.find_first_not_of(' ');
  if (digits == std::string::npos ||
      thread.find_first_not_of("0123456789", digits) != std::string::npos ||
      line.compare(17, 2, ", ") != 0 || !IsHex(line, kReturnAt, kAddressDigits) ||
      line.compare(kResultAt - 2, 2, ", ") != 0 || line.compare(kLastErrorAt - 2, 2, ", ") != 0 ||
      line.compare(kTextAt - 2, 2, ", ") != 0) {
    return false;
  }
  call.thread = std::stoi(thread.substr(digits));
  call.result = line.substr(kResultAt, kAddressDigits);
  call.lastError = line.substr(kLastErrorAt, 8);
  call.text = line.substr(kTextAt);
  bool blank = call.result == qeltest::kBlankAddress && call.lastError == "        ";
  return blank || (IsHex(line, kResultAt, kAddressDigits) && IsHex(line, kLastErrorAt, 8));
}

std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%08x", value);
  return text;
}

// Everything the checks found, and the first few findings in detail.
struct Findings {
  int count = 0;
  std::string detail;
  void Add(const std::string& what) {
    if (++count <= 10) detail += what + "\n";
  }
};

void CheckThread(int thread, const std::vector<CallLine>& lines, Findings& findings) {
  size_t expected = 2 * kCallsPerThread;
  if (lines.size() != expected) {
    findings.Add("thread " + std::to_string(thread) + ": " + std::to_string(lines.size()) +
                 " lines, not " + std::to_string(expected));
  }
  for (size_t i = 0; i < lines.size() && i < expected; ++i) {
    int call = static_cast<int>(i / 2);
    int kind = call % stress::kKinds;
    stress::Arguments a = stress::ArgumentsOf(thread, call);
    const CallLine& line = lines[i];
    std::string where = "thread " + std::to_string(thread) + " line " + std::to_string(i) + ": ";
    if (line.text != stress::LineText(kind, a)) {
      findings.Add(where + line.text + "  instead of  " + stress::LineText(kind, a));
      return;  // the rest of this thread is out of step
    }
    bool pre = i % 2 == 0;
    if (pre != (line.result == qeltest::kBlankAddress)) {
      findings.Add(where + "pre and post out of turn");
    }
    if (pre || kind == stress::kRatio) continue;
    // The whole register the caller receives: on x86 EAX, the low half of a 64-bit result.
    std::string result =
        qeltest::Address(static_cast<uintptr_t>(stress::ExpectedOf(kind, a).value));
    if (line.result != result) findings.Add(where + "result " + line.result + " not " + result);
    if (kind == stress::kSetError && line.lastError != Hex(a.x)) {
      findings.Add(where + "last error " + line.lastError + " not " + Hex(a.x));
    }
  }
}

// Checks every line of the rolled files between the column header and the clean-up.
void CheckLogs(const qeltest::HostRun& run, int threads, int notesWritten) {
  ASSERT_FALSE(run.logs.empty());
  std::vector<std::string> lines;
  for (size_t i = 0; i < run.logs.size(); ++i) {
    const std::string& log = run.logs[i];
    EXPECT_TRUE(log.empty() || log.compare(log.size() - 2, 2, "\r\n") == 0)
        << "log file " << i << " ends in a cut line";
    for (std::string& line : qeltest::SplitLines(log)) lines.push_back(std::move(line));
  }
  size_t at = 0;
  while (at < lines.size() && lines[at].rfind("[time],", 0) != 0) ++at;
  ASSERT_LT(at + 2, lines.size());
  // The column header and the blank line after it; the next line may already be a note of
  // the host, should it come before every worker's first line.
  at += 2;
  Findings findings;
  std::map<int, std::vector<CallLine>> byThread;
  int notes = 0;
  int notesLogged = 0;
  for (; at < lines.size() && lines[at].rfind("[module listing start", 0) != 0; ++at) {
    const std::string& line = lines[at];
    CallLine call;
    // Clean-up's listing follows a blank line.
    if (line.empty() && at + 1 < lines.size() &&
        lines[at + 1].rfind("[module listing start", 0) == 0) {
      continue;
    }
    if (line.rfind("new thread : (", 0) == 0) continue;
    if (line.rfind("note ", 0) == 0) {
      char expected[32];
      snprintf(expected, sizeof expected, "note %05d", notes++);
      if (line != expected) {
        findings.Add("host line " + line + " instead of " + expected);
        notes = atoi(line.c_str() + 5) + 1;  // one finding per gap
      }
      ++notesLogged;
      continue;
    }
    if (!ParseCallLine(line, call)) {
      findings.Add("malformed line: " + line);
      continue;
    }
    byThread[call.thread].push_back(call);
  }
  EXPECT_EQ(notesWritten, notesLogged) << "host lines in the log";
  EXPECT_EQ(static_cast<size_t>(threads), byThread.size()) << "threads in the log";
  std::vector<bool> seen(threads, false);
  for (const auto& entry : byThread) {
    // A thread's first line names it: lstrlenA of "tNN-00000".
    const std::string& first = entry.second.front().text;
    size_t quote = first.find("\"t");
    int thread = quote == std::string::npos ? -1 : atoi(first.c_str() + quote + 2);
    if (thread < 0 || thread >= threads || seen[thread]) {
      findings.Add("log thread " + std::to_string(entry.first) + " starts with " + first);
      continue;
    }
    seen[thread] = true;
    CheckThread(thread, entry.second, findings);
  }
  EXPECT_EQ(0, findings.count) << findings.detail;
}

int NotesWritten(const std::string& report) {
  size_t at = report.find(" notes ");
  return at == std::string::npos ? -1 : atoi(report.c_str() + at + 7);
}

void CheckRun(const qeltest::HostRun& run, int threads) {
  ASSERT_NE(-2, run.exitCode) << "hung: killed after 240 s\n" << run.report;
  ASSERT_EQ(0, run.exitCode) << std::hex << "exit code 0x" << run.exitCode << "\n" << run.report;
  std::string calls = "calls " + std::to_string(threads * kCallsPerThread) + " notes ";
  EXPECT_NE(std::string::npos, run.report.find(calls)) << run.report;
  EXPECT_NE(std::string::npos, run.report.find(" note failures 0 bad 0\n")) << run.report;
  CheckLogs(run, threads, NotesWritten(run.report));
}

}  // namespace

TEST(Stress, EveryCallOfSixteenThreadsIsLoggedAndExact) {
  qeltest::HostRun whole = RunStress(kThreads, 0);
  CheckRun(whole, kThreads);
  EXPECT_EQ(1u, whole.logs.size());

  // About 24 roll-overs: well inside the ring of 31 slots, so no file is reused.
  qeltest::HostRun rolled = RunStress(kThreads, static_cast<int>(TotalBytes(whole.logs) / 24));
  CheckRun(rolled, kThreads);
  EXPECT_GE(rolled.logs.size(), 21u);
  EXPECT_LE(rolled.logs.size(), 29u);
}

// Unflushed, every line is still written before its call goes on, and a roll-over still
// ends each file at a whole line.
TEST(Stress, EveryCallOfEightThreadsIsLoggedUnflushed) {
  qeltest::HostRun whole = RunStress(kUnflushedThreads, 0, "0");
  CheckRun(whole, kUnflushedThreads);
  EXPECT_EQ(1u, whole.logs.size());

  qeltest::HostRun rolled =
      RunStress(kUnflushedThreads, static_cast<int>(TotalBytes(whole.logs) / 12), "0");
  CheckRun(rolled, kUnflushedThreads);
  EXPECT_GE(rolled.logs.size(), 9u);
  EXPECT_LE(rolled.logs.size(), 17u);
}
