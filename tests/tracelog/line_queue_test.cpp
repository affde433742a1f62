// Lines written while another thread holds the log wait in a queue that the holder writes
// before letting go. Each test fills the queue behind a hold of its own, so that the lines
// are sure to go out as one batch.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "tracelog/line_queue.h"
#include "tracelog/trace_log.h"

using namespace qelvorn;

namespace {

void OpenScratchLog(const char* tag) {
  std::string dir = qeltest::MakeTempDir(tag);
  snprintf(traceLog.directory, sizeof traceLog.directory, "%s", dir.c_str());
  traceLog.maxSize = 0;
  // A set-up carries the byte count on; a scratch log starts from zero as a fresh DLL does.
  traceLog.bytesWritten = 0;
  ASSERT_TRUE(CreateLogFile());
  traceLog.active = false;
}

// Waits until count lines are queued; false after ten seconds.
bool AwaitQueued(int count) {
  for (int waited = 0; waited < 10000; ++waited) {
    if (QueuedLineCount() == count) return true;
    Sleep(1);
  }
  return false;
}

std::string LineOf(int thread, int index, size_t length) {
  std::string text = "thread " + std::to_string(thread) + " line " + std::to_string(index) + " ";
  text.resize(length, '.');
  return text;
}

constexpr int kChildPassed = 42;

// Runs one of the QueuedLinesChild tests alone in a child process, with a watchdog: its exit
// code, kChildPassed when it passed, -2 when it hung.
int RunChildTest(const char* name) {
  return qeltest::RunProgram(
      "test_tracelog.exe",
      std::string("--gtest_also_run_disabled_tests --gtest_filter=QueuedLinesChild.") + name,
      60000);
}

DWORD WINAPI HoldTheLogForGood(void* ready) {
  HoldLogLock();
  SetEvent(ready);
  Sleep(INFINITE);
  return 0;
}

// Each of threadCount writers writes linesEach lines of length bytes while the log is first
// held, then checks after every write that its line is in the file.
void WriteEveryLineAndCheck(const char* name, int threadCount, size_t length, int linesEach) {
  OpenScratchLog("queue");
  std::string path = traceLog.path;
  ASSERT_TRUE(HoldLogLock());
  std::atomic<int> early{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < linesEach; ++i) {
        std::string line = LineOf(t, i, length);
        if (!WriteLine(line.c_str(), true)) ++failed;
        if (qeltest::ReadFileBytes(path).find(line + "\r\n") == std::string::npos) ++early;
      }
    });
  }
  // Let the first lines pile up behind the hold, as many as the queue takes, then let them
  // all go at once.
  size_t fit = kQueuedBytesMax / (length + 2);
  int queuable =
      static_cast<int>(fit < static_cast<size_t>(kQueuedLinesMax) ? fit : kQueuedLinesMax);
  bool queued = AwaitQueued(threadCount < queuable ? threadCount : queuable);
  ReleaseLogLock();
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(CloseLogFile());
  EXPECT_TRUE(queued) << name;
  EXPECT_EQ(0, failed.load()) << name;
  EXPECT_EQ(0, early.load()) << name;
  std::vector<std::string> lines = qeltest::SplitLines(qeltest::ReadFileBytes(path));
  std::set<std::string> distinct(lines.begin(), lines.end());
  EXPECT_EQ(static_cast<size_t>(threadCount * linesEach), lines.size()) << name;
  EXPECT_EQ(lines.size(), distinct.size()) << name;
  for (const std::string& line : lines) EXPECT_EQ(length, line.size()) << name;
}

}  // namespace

// Every writer returns only once its own line is in the file, whether its line went out in
// a batch, alone, or (queue full) after waiting for the log itself; each line once, whole.
TEST(QueuedLines, AWriterReturnsOnlyOnceItsLineIsInTheFile) {
  struct Case {
    const char* name;
    int threads;
    size_t length;
    int linesEach;
  } cases[] = {
      {"a batch of eight", 8, 60, 40},
      {"more writers than the queue holds", kQueuedLinesMax + 8, 40, 3},
      {"lines too long to queue together", 5, 10000, 2},
  };
  for (bool addressWaits : {true, false}) {
    qeltest::AddressWaitsScope waits(addressWaits);  // false: as before Windows 8
    for (const Case& c : cases) {
      SCOPED_TRACE(addressWaits ? "with address waits" : "without address waits");
      WriteEveryLineAndCheck(c.name, c.threads, c.length, c.linesEach);
    }
  }
}

// A batch is split where the log rolls over: every file ends at the line it would end at if
// each line had been written alone.
TEST(QueuedLines, ARollOverInsideABatchEndsEachFileAtTheSameLine) {
  OpenScratchLog("rollbatch");
  std::string dir = traceLog.directory;
  constexpr int kWriters = 6;
  constexpr size_t kLength = 40;  // 42 bytes with the line end
  ASSERT_TRUE(HoldLogLock());
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      if (!WriteLine(LineOf(t, 0, kLength).c_str(), true)) ++failed;
    });
  }
  bool queued = AwaitQueued(kWriters);
  // The third line of a file reaches the size: each file takes three lines, and the sixth
  // line's roll-over opens a third, empty file.
  traceLog.maxSize = traceLog.bytesWritten + 2 * 42 + 10;
  uint32_t flushesBefore = traceLog.flushes;
  ReleaseLogLock();
  for (auto& thread : threads) thread.join();
  uint32_t flushes = traceLog.flushes - flushesBefore;
  ASSERT_TRUE(CloseLogFile());
  traceLog.maxSize = 0;
  ASSERT_TRUE(queued);
  EXPECT_EQ(2u, flushes) << "one write and flush for each file's share of the batch";
  EXPECT_EQ(0, failed.load());
  std::vector<std::string> files = qeltest::ListFiles(dir, "$$$*.txt");
  ASSERT_EQ(3u, files.size());
  std::set<std::string> all;
  const size_t expected[] = {3, 3, 0};
  for (size_t f = 0; f < files.size(); ++f) {
    std::vector<std::string> lines = qeltest::SplitLines(qeltest::ReadFileBytes(dir + files[f]));
    EXPECT_EQ(expected[f], lines.size()) << files[f];
    all.insert(lines.begin(), lines.end());
  }
  EXPECT_EQ(static_cast<size_t>(kWriters), all.size());
}

// Lines that queued up before the log is closed are its last lines, not refused ones.
TEST(QueuedLines, LinesQueuedBeforeTheCloseAreWrittenBeforeIt) {
  OpenScratchLog("closequeue");
  std::string path = traceLog.path;
  constexpr int kWriters = 4;
  ASSERT_TRUE(HoldLogLock());
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      if (!WriteLine(LineOf(t, 0, 30).c_str(), true)) ++failed;
    });
  }
  bool queued = AwaitQueued(kWriters);
  uint32_t flushesBefore = traceLog.flushes;
  bool closed = CloseLogFile();
  uint32_t flushes = traceLog.flushes - flushesBefore;
  ReleaseLogLock();
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(queued);
  EXPECT_TRUE(closed);
  EXPECT_EQ(1u, flushes) << "the queued lines share one write and flush";
  EXPECT_EQ(0, failed.load());
  EXPECT_EQ(static_cast<size_t>(kWriters),
            qeltest::SplitLines(qeltest::ReadFileBytes(path)).size());
}

// Where a flush costs as much as many writes, the writer that finds the log free writes
// its line and waits for the lines of as many threads as the last flushes served: all of
// them share one flush, and each writer returns only once its own line is in the file.
TEST(QueuedLines, WhereAFlushIsSlowTheFirstWriterWaitsForCompany) {
  OpenScratchLog("company");
  std::string path = traceLog.path;
  constexpr int kWriters = 7;
  // A flush as slow as a disk's next to its write, and the last flushes served eight lines.
  traceLog.pace.writeCost = 1;
  traceLog.pace.flushCost = uint64_t{1} << 40;
  traceLog.pace.company = kWriters + 1;
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> failed{0};
  std::atomic<int> early{0};
  auto write = [&](const std::string& line) {
    if (!WriteLine(line.c_str(), true)) ++failed;
    if (qeltest::ReadFileBytes(path).find(line + "\r\n") == std::string::npos) ++early;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      WaitForSingleObject(go, INFINITE);
      write(LineOf(t, 0, 40));
    });
  }
  uint32_t flushesBefore = traceLog.flushes;
  threads.emplace_back([&] { write("the first writer"); });
  // The first writer holds the log while it waits; then the others come.
  bool held = false;
  for (int waited = 0; waited < 10000 && !held; ++waited) {
    held = traceLog.lock.owner != 0;
    if (!held) Sleep(1);
  }
  SetEvent(go);
  for (auto& thread : threads) thread.join();
  uint32_t flushes = traceLog.flushes - flushesBefore;
  CloseHandle(go);
  traceLog.pace = FlushPace();
  ASSERT_TRUE(CloseLogFile());
  ASSERT_TRUE(held);
  EXPECT_EQ(1u, flushes) << "the first line and the seven that came share one flush";
  EXPECT_EQ(0, failed.load());
  EXPECT_EQ(0, early.load());
  std::vector<std::string> lines = qeltest::SplitLines(qeltest::ReadFileBytes(path));
  ASSERT_EQ(static_cast<size_t>(kWriters + 1), lines.size());
  EXPECT_EQ("the first writer", lines[0]);
}

// Run only as the child of the test below: it leaves the log held by a dead thread.
TEST(QueuedLinesChild, DISABLED_WritersQueuedBehindAHolderThatDiesAreRefused) {
  OpenScratchLog("deadholder");
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE holder = CreateThread(nullptr, 0, HoldTheLogForGood, ready, 0, nullptr);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 10000));
  constexpr int kWriters = 4;
  std::atomic<int> refused{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([&] {
      if (!WriteLine("queued behind a holder that dies", true)) ++refused;
    });
  }
  ASSERT_TRUE(AwaitQueued(kWriters));
  TerminateThread(holder, 1);
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(kWriters, refused.load());
  EXPECT_FALSE(WriteLine("after the holder died", true));
  // An exit code of its own, so that the parent knows this test ran and was not filtered out.
  ExitProcess(::testing::Test::HasFailure() ? 1 : kChildPassed);
}

// Writers waiting in the queue when the log's holder is killed (as at process exit) are
// refused instead of waiting for good.
TEST(QueuedLines, WritersQueuedBehindAHolderThatDiesAreRefusedNotHung) {
  int code = RunChildTest("DISABLED_WritersQueuedBehindAHolderThatDiesAreRefused");
  EXPECT_EQ(kChildPassed, code) << "-2 is a hang";
}

// The writer parked inside its copy into the queue, and the event it signals there.
DWORD parkedWriter = 0;
HANDLE parked = nullptr;

// Stops the parked writer for good where its copy touched the guard page: inside the
// queue's lock, as a kill at that instant would leave it.
LONG WINAPI ParkOnGuardPage(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != STATUS_GUARD_PAGE_VIOLATION ||
      GetCurrentThreadId() != parkedWriter) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  SetEvent(parked);
  Sleep(INFINITE);
  return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI WriteIntoTheGuardPage(void* text) {
  parkedWriter = GetCurrentThreadId();
  WriteBytes(static_cast<const char*>(text), 64, true);
  return 0;
}

// Run only as the child of the test below: it leaves the queue's lock held by a dead thread.
TEST(QueuedLinesChild, DISABLED_AWriterKilledInsideTheQueueSwitchesItOff) {
  OpenScratchLog("deadqueue");
  std::string path = traceLog.path;
  // A line whose second half lies on a guard page.
  char* pages = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(nullptr, pages);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(pages + 4096, 4096, PAGE_READWRITE | PAGE_GUARD, &old));
  const char* line = pages + 4096 - 32;
  parked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  PVOID handler = AddVectoredExceptionHandler(1, ParkOnGuardPage);
  // Held by this thread, the log sends the writers to the queue.
  ASSERT_TRUE(HoldLogLock());
  HANDLE writer =
      CreateThread(nullptr, 0, WriteIntoTheGuardPage, const_cast<char*>(line), 0, nullptr);
  ASSERT_NE(nullptr, writer);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(parked, 10000));
  TerminateThread(writer, 1);
  WaitForSingleObject(writer, INFINITE);
  CloseHandle(writer);
  // The next writer finds the queue's lock held by a thread that has ended: refused there,
  // it waits for the log itself and is written once this thread lets go.
  std::thread next([] { EXPECT_TRUE(WriteLine("after the queue's holder died", true)); });
  // Time for it to find the log held and turn to the queue, as it must to meet the dead
  // lock; its 100 ms wait there holds it past this.
  Sleep(50);
  ReleaseLogLock();
  next.join();
  // The queue stays off: a writer behind a holder goes straight to the log's own wait.
  ASSERT_TRUE(HoldLogLock());
  std::thread last([] { EXPECT_TRUE(WriteLine("with the queue off", true)); });
  Sleep(50);  // past the log's held lock, before this thread lets go
  EXPECT_EQ(0, QueuedLineCount());
  ReleaseLogLock();
  last.join();
  RemoveVectoredExceptionHandler(handler);
  EXPECT_TRUE(CloseLogFile());
  EXPECT_EQ((std::vector<std::string>{"after the queue's holder died", "with the queue off"}),
            qeltest::SplitLines(qeltest::ReadFileBytes(path)));
  ExitProcess(::testing::Test::HasFailure() ? 1 : kChildPassed);
}

// A writer killed while it copies its line into the queue leaves the queue's lock held by
// a thread that has ended; the writers after it are written through the log's own wait,
// none hangs and none is lost.
TEST(QueuedLines, AWriterKilledInsideTheQueueLosesNoLaterLine) {
  int code = RunChildTest("DISABLED_AWriterKilledInsideTheQueueSwitchesItOff");
  EXPECT_EQ(kChildPassed, code) << "-2 is a hang";
}
