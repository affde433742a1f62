// The launcher attached to running programs: Wine's find reading a pipe fed later, a
// program of ours found by name, bad processes, Ctrl+Break, and a 64-bit program reached
// through the 32-bit launcher. Every program a test starts is ended at its end.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "fixture.h"
#include "support/process_run.h"
#include "support/test_support.h"

namespace {

using namespace qeltest;

// Set-up in the emulated guest takes seconds; a wait longer than this is a hang.
constexpr DWORD kWaitMs = 90000;

const std::regex kCallLine64(R"(^\d\d:\d\d:\d\d:\d\d\d, +\d+, [0-9a-f]{16}, .*)");

// Ends whatever a test started and did not finish, however the test ended.
class Leftovers {
 public:
  Started& Keep(Started started) {
    kept_.push_back(std::make_unique<Started>(started));
    return *kept_.back();
  }
  ~Leftovers() {
    for (auto& started : kept_) {
      CloseInput(*started);
      if (started->process == nullptr) continue;
      TerminateProcess(started->process, 998);
      WaitForSingleObject(started->process, kWaitMs);
      CloseHandle(started->process);
    }
  }

 private:
  std::vector<std::unique_ptr<Started>> kept_;
};

std::wstring Qelrun() {
  return L"\"" + Here() + L"qelrun.exe\" ";
}

std::string Pid(const Started& started) {
  return std::to_string(started.pid);
}

// Writes text to the program and waits until its output shows needle.
void FeedAndSee(const Started& started, const std::string& text, const std::string& needle) {
  ASSERT_TRUE(Feed(started, text));
  ASSERT_TRUE(WaitForText(started, false, needle, kWaitMs)) << "no \"" << needle << "\" in\n"
                                                            << WrittenSoFar(started, false);
}

// The launcher attached: waits for its line naming the log.
void SeeAttached(const Started& attacher, const std::string& name, const Started& program) {
  std::string said = "qelrun: tracing " + name + " (process " + Pid(program) + ") into ";
  ASSERT_TRUE(WaitForText(attacher, true, said, kWaitMs)) << WrittenSoFar(attacher, true);
}

std::vector<std::string> LogLines(const std::wstring& dir) {
  std::vector<std::string> log = Lines(ReadLog(dir));
  while (!log.empty() && log.back().empty()) log.pop_back();
  return log;
}

bool LogHas(const std::vector<std::string>& log, const std::string& needle) {
  for (const std::string& line : log) {
    if (line.find(needle) != std::string::npos) return true;
  }
  return false;
}

// Pairs each post line with the pre line of its call (same thread, return address and
// arguments), failing on a post line without one; answers the pre lines left without a post.
std::vector<std::string> UnfinishedCalls(const std::vector<std::string>& log) {
  const std::regex columns(R"(^[\d:]+, +(\d+), ([0-9a-f]+), ([0-9a-f ]+), ([0-9a-f ]+), (.*)$)");
  std::vector<std::pair<std::string, std::string>> waiting;  // (call, pre line)
  for (const std::string& line : log) {
    std::smatch m;
    if (!std::regex_match(line, m, columns)) continue;
    std::string call = m[1].str() + "," + m[2].str() + "," + m[5].str();
    if (m[3].str().find_first_not_of(' ') == std::string::npos) {
      waiting.emplace_back(call, line);
      continue;
    }
    auto pre = std::find_if(waiting.rbegin(), waiting.rend(),
                            [&](const auto& w) { return w.first == call; });
    if (pre == waiting.rend()) {
      ADD_FAILURE() << "a post line without its pre line: " << line;
      continue;
    }
    waiting.erase(std::next(pre).base());
  }
  std::vector<std::string> unfinished;
  for (const auto& w : waiting) unfinished.push_back(w.second);
  return unfinished;
}

// Deletes the closed logs in dir\logs, so that ReadLog finds the next one.
void RemoveLogs(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"logs\\$$$*.txt").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    EXPECT_TRUE(DeleteFileW((dir + L"logs\\" + found.cFileName).c_str()));
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

std::wstring CopyWaiter(const std::wstring& folder, const std::wstring& name) {
  CreateDirectoryW(folder.c_str(), nullptr);
  std::wstring path = folder + name;
  EXPECT_TRUE(CopyFileW((Here() + L"qelrun_waiter.exe").c_str(), path.c_str(), FALSE));
  return path;
}

TEST(QelrunAttach, FindReadingAPipeIsTracedUntilDetachedAndEndsAsUntraced) {
  const std::vector<std::pair<std::string, std::string>> chunks = {
      {"alpha one\r\nbeta\r\n", "alpha one"},
      {"alpha two\r\n", "alpha two"},
      {"gamma\r\nalpha three\r\n", "alpha three"},
      {"alpha four\r\n", "alpha four"},
  };
  Leftovers leftovers;
  std::wstring find = System32() + L"find.exe";
  std::wstring aloneDir = WorkDir("attach_find_alone");
  Started& alone = leftovers.Keep(StartCaptured(find, L"find alpha", aloneDir, 0, true));
  ASSERT_NE(alone.process, nullptr);
  for (const auto& chunk : chunks) FeedAndSee(alone, chunk.first, chunk.second);
  Captured untraced = Finish(alone, kWaitMs);

  std::wstring dir = WorkDir("attach_find");
  WriteSettings(dir, "find.exe");
  Started& traced = leftovers.Keep(StartCaptured(find, L"find alpha", dir, 0, true));
  ASSERT_NE(traced.process, nullptr);
  FeedAndSee(traced, chunks[0].first, chunks[0].second);
  Started& attacher =
      leftovers.Keep(StartCaptured(L"", Launcher(dir, L"--attach " + Wide(Pid(traced))), dir));
  SeeAttached(attacher, "find.exe", traced);
  // The read in flight when the slots were redirected ends untraced; the next one is traced.
  FeedAndSee(traced, chunks[1].first, chunks[1].second);
  FeedAndSee(traced, chunks[2].first, chunks[2].second);

  Captured detach = RunCaptured(L"", Qelrun() + L"--detach " + Wide(Pid(traced)), dir);
  EXPECT_EQ(detach.exitCode, 0u) << detach.err;
  EXPECT_NE(detach.err.find("qelrun: tracing cleaned up in find.exe (process " + Pid(traced) +
                            "); it runs on untraced"),
            std::string::npos)
      << detach.err;
  std::vector<std::string> log = LogLines(dir);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "CleanUp OK");
  EXPECT_EQ(log[log.size() - 2], "");
  size_t firstRead = FirstLine(log, "ReadFile <find.exe>");
  ASSERT_LT(firstRead, log.size()) << ReadLog(dir);
  // The read in flight at set-up left no line: the log's first read starts with its pre line,
  // and the only call without a post line is the read waiting for a chunk at the detach.
  EXPECT_TRUE(std::regex_match(log[firstRead], kPreLine)) << log[firstRead];
  std::vector<std::string> unfinished = UnfinishedCalls(log);
  ASSERT_LE(unfinished.size(), 1u) << ReadLog(dir);
  for (const std::string& line : unfinished)
    EXPECT_NE(line.find("ReadFile <find.exe>"), std::string::npos) << line;
  EXPECT_EQ(WaitForSingleObject(attacher.process, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the attached launcher stays until the program ends";

  FeedAndSee(traced, chunks[3].first, chunks[3].second);
  Captured ran = Finish(traced, kWaitMs);
  Captured launcher = Finish(attacher, kWaitMs);
  EXPECT_EQ(ran.out, untraced.out);
  EXPECT_EQ(ran.err, untraced.err);
  EXPECT_EQ(ran.exitCode, untraced.exitCode);
  EXPECT_EQ(launcher.exitCode, untraced.exitCode) << launcher.err;
  EXPECT_EQ(LogLines(dir), log) << "nothing is written after the clean-up";
  std::fputs((launcher.err + detach.err + ReadLog(dir)).c_str(), stdout);
}

// A program of ours found by its name, in any case and without ".exe": a second attach
// finds tracing on, a detach by name ends it, a second detach finds it off, an attach
// after that traces again, and the attached launchers end with the program's exit code.
TEST(QelrunAttach, ByNameOnceOnlyAndDetachedByName) {
  Leftovers leftovers;
  std::wstring dir = WorkDir("attach_name");
  WriteSettings(dir, "waiter_solo.exe");
  std::wstring program = CopyWaiter(dir + L"solo\\", L"waiter_solo.exe");
  Started& waiter = leftovers.Keep(StartCaptured(program, L"waiter_solo", dir, 0, true));
  ASSERT_NE(waiter.process, nullptr);
  FeedAndSee(waiter, "open early.txt\n", "opened early.txt");
  Started& attacher =
      leftovers.Keep(StartCaptured(L"", Launcher(dir, L"--attach waiter_solo"), dir));
  SeeAttached(attacher, "waiter_solo.exe", waiter);

  Captured again = RunCaptured(L"", Launcher(dir, L"--attach " + Wide(Pid(waiter))), dir);
  EXPECT_EQ(again.exitCode, 125u) << again.err;
  EXPECT_NE(again.err.find("qelrun: tracing was already set up in waiter_solo.exe (process " +
                           Pid(waiter) + "); it was left as it was"),
            std::string::npos)
      << again.err;

  FeedAndSee(waiter, "open during.txt\n", "opened during.txt");
  Captured detach = RunCaptured(L"", Qelrun() + L"--detach WAITER_SOLO.EXE", dir);
  EXPECT_EQ(detach.exitCode, 0u) << detach.err;
  FeedAndSee(waiter, "open after.txt\n", "opened after.txt");
  Captured twice = RunCaptured(L"", Qelrun() + L"--detach " + Wide(Pid(waiter)), dir);
  EXPECT_EQ(twice.exitCode, 125u) << twice.err;
  EXPECT_NE(twice.err.find("qelrun: tracing was not set up in waiter_solo.exe (process " +
                           Pid(waiter) + ")"),
            std::string::npos)
      << twice.err;

  std::vector<std::string> log = LogLines(dir);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "CleanUp OK");
  EXPECT_LT(FirstLine(log, "CreateFileW <waiter_solo.exe>, , \"during.txt\""), log.size())
      << ReadLog(dir);
  EXPECT_FALSE(LogHas(log, "early.txt"));
  EXPECT_FALSE(LogHas(log, "after.txt"));

  // Attached again after the clean-up: tracing is set up anew, into a fresh log.
  RemoveLogs(dir);
  Started& reattacher =
      leftovers.Keep(StartCaptured(L"", Launcher(dir, L"--attach " + Wide(Pid(waiter))), dir));
  SeeAttached(reattacher, "waiter_solo.exe", waiter);
  FeedAndSee(waiter, "open again.txt\n", "opened again.txt");
  FeedAndSee(waiter, "open again2.txt\n", "opened again2.txt");
  Captured detachAgain = RunCaptured(L"", Qelrun() + L"--detach " + Wide(Pid(waiter)), dir);
  EXPECT_EQ(detachAgain.exitCode, 0u) << detachAgain.err;
  std::vector<std::string> second = LogLines(dir);
  EXPECT_LT(FirstLine(second, "CreateFileW <waiter_solo.exe>, , \"again2.txt\""), second.size())
      << ReadLog(dir);
  EXPECT_EQ(second.empty() ? std::string() : second.back(), "CleanUp OK");

  Captured ran = Finish(waiter, kWaitMs);
  Captured launcher = Finish(attacher, kWaitMs);
  Captured relauncher = Finish(reattacher, kWaitMs);
  EXPECT_EQ(ran.exitCode, 7u);
  EXPECT_EQ(launcher.exitCode, 7u) << launcher.err;
  EXPECT_EQ(relauncher.exitCode, 7u) << relauncher.err;
}

// A program that ends while it is traced: the attached launcher exits with its exit code,
// and its log ends with its last traced call, the WriteFile of its answer, without a clean-up.
TEST(QelrunAttach, AProgramEndingWhileTracedGivesTheLauncherItsExitCode) {
  Leftovers leftovers;
  std::wstring dir = WorkDir("attach_ends");
  WriteSettings(dir, "waiter_ends.exe");
  std::wstring program = CopyWaiter(dir + L"prog\\", L"waiter_ends.exe");
  Started& waiter = leftovers.Keep(StartCaptured(program, L"waiter_ends", dir, 0, true));
  ASSERT_NE(waiter.process, nullptr);
  FeedAndSee(waiter, "open early.txt\n", "opened early.txt");
  Started& attacher =
      leftovers.Keep(StartCaptured(L"", Launcher(dir, L"--attach " + Wide(Pid(waiter))), dir));
  SeeAttached(attacher, "waiter_ends.exe", waiter);
  FeedAndSee(waiter, "open traced.txt\n", "opened traced.txt");
  FeedAndSee(waiter, "exit 37\n", "exiting 37");

  ASSERT_EQ(WaitForSingleObject(waiter.process, kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_EQ(WaitForSingleObject(attacher.process, kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0))
      << "the launcher did not end with the program:\n"
      << WrittenSoFar(attacher, true);
  Captured ran = Finish(waiter, 0);
  Captured launcher = Finish(attacher, 0);
  EXPECT_EQ(ran.exitCode, 37u);
  EXPECT_EQ(launcher.exitCode, 37u) << launcher.err;
  EXPECT_EQ(launcher.err.find("cleaned up"), std::string::npos) << launcher.err;

  std::vector<std::string> log = LogLines(dir);
  ASSERT_FALSE(log.empty());
  EXPECT_LT(FirstLine(log, "CreateFileW <waiter_ends.exe>, , \"traced.txt\""), log.size())
      << ReadLog(dir);
  EXPECT_FALSE(LogHas(log, "early.txt"));
  EXPECT_FALSE(LogHas(log, "CleanUp OK"));
  // The post line of the WriteFile of "exiting 37\n", 11 bytes.
  EXPECT_TRUE(std::regex_match(log.back(), kCallLine)) << log.back();
  EXPECT_FALSE(std::regex_match(log.back(), kPreLine)) << log.back();
  EXPECT_NE(log.back().find("WriteFile <waiter_ends.exe>, , "), std::string::npos) << log.back();
  EXPECT_NE(log.back().find(", 11, "), std::string::npos) << log.back();
}

struct BadProcessCase {
  const char* name;
  std::wstring arguments;
  unsigned long exitCode;
  std::string says;
};

TEST(QelrunAttach, BadProcessesAreRefusedWithAClearMessage) {
  Leftovers leftovers;
  std::wstring dir = WorkDir("attach_bad");
  std::vector<Started*> twins;
  for (const wchar_t* folder : {L"a\\", L"b\\"}) {
    std::wstring program = CopyWaiter(dir + folder, L"waiter_twin.exe");
    twins.push_back(&leftovers.Keep(StartCaptured(program, L"waiter_twin", dir, 0, true)));
    FeedAndSee(*twins.back(), "open x\n", "opened x");
  }
  std::wstring plainProgram = CopyWaiter(dir + L"plain\\", L"waiter_plain.exe");
  Started& plain = leftovers.Keep(StartCaptured(plainProgram, L"waiter_plain", dir, 0, true));
  FeedAndSee(plain, "open x\n", "opened x");
  // An ended program whose handle is still open keeps its id: it names an exited process.
  Started& ended = leftovers.Keep(StartCaptured(plainProgram, L"waiter_plain", dir, 0, true));
  CloseInput(ended);
  ASSERT_EQ(WaitForSingleObject(ended.process, kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));

  const BadProcessCase cases[] = {
      {"several", L"--attach waiter_twin", 120,
       "qelrun: 2 running processes have the program waiter_twin; give one of their ids:"},
      {"several_detach", L"--detach Waiter_Twin.exe", 120, "running processes have the program"},
      {"no_such_name", L"--attach qelrun_no_such_program", 121,
       "qelrun: no running process has the program qelrun_no_such_program"},
      {"no_such_pid", L"--attach 4294967292", 121,
       "qelrun: no running process has the id 4294967292"},
      {"exited", L"--attach " + Wide(Pid(ended)), 126,
       "qelrun: process " + Pid(ended) + " has already exited"},
      {"not_set_up", L"--detach " + Wide(Pid(plain)), 125,
       "qelrun: tracing was not set up in waiter_plain.exe (process " + Pid(plain) + ")"},
      {"with_program", L"--attach 12 find", 120, "--attach takes no PROGRAM"},
      {"both", L"--attach 12 --detach 12", 120, "--attach and --detach exclude each other"},
      {"detach_auto", L"--detach 12 --auto", 120, "--detach takes no --settings, --logs or --auto"},
      {"run_anyway", L"--run-anyway --attach 12", 120, "goes without --run-anyway"},
      {"no_value", L"--attach", 120, "--attach needs a value"},
  };
  for (const BadProcessCase& c : cases) {
    SCOPED_TRACE(c.name);
    Captured run = RunCaptured(L"", Qelrun() + c.arguments, dir);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("qelrun: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  Captured several = RunCaptured(L"", Qelrun() + L"--attach waiter_twin.EXE", dir);
  for (const Started* twin : twins) {
    EXPECT_NE(several.err.find("qelrun: " + Pid(*twin) + " waiter_twin.exe\r\n"), std::string::npos)
        << several.err;
  }
  // A program that ends when the launcher's first thread starts in it.
  WriteSettings(dir, "waiter_fleeting.exe");
  std::wstring fleetingProgram = CopyWaiter(dir + L"fleeting\\", L"waiter_fleeting.exe");
  Started& fleeting = leftovers.Keep(
      StartCaptured(fleetingProgram, L"waiter_fleeting --end-on-thread", dir, 0, true));
  FeedAndSee(fleeting, "open x\n", "opened x");
  Captured during = RunCaptured(L"", Launcher(dir, L"--attach " + Wide(Pid(fleeting))), dir);
  EXPECT_EQ(during.exitCode, 126u) << during.err;
  EXPECT_NE(during.err.find("; waiter_fleeting.exe (process " + Pid(fleeting) +
                            ") exited during set-up\r\n"),
            std::string::npos)
      << during.err;
  EXPECT_EQ(Finish(fleeting, kWaitMs).exitCode, 9u);

  // Nothing was set up in any of them: each ends as it would alone.
  for (Started* started : {twins[0], twins[1], &plain})
    EXPECT_EQ(Finish(*started, kWaitMs).exitCode, 7u);
}

// Sends the attached launcher its detach request; answers why it could not, or empty.
using Signal = std::string (*)(const Started& attacher);

// The launcher attached to a program of ours, signalled: it cleans up in the program and
// exits 0; the program runs on and its next traced call is not logged. Answers the
// signal's failure, when it could not be sent.
std::string ExpectSignalDetaches(const std::string& name, Signal signal) {
  Leftovers leftovers;
  std::wstring dir = WorkDir(name);
  std::string program = "waiter_" + name + ".exe";
  WriteSettings(dir, program);
  std::wstring file = CopyWaiter(dir + L"prog\\", Wide(program));
  // Its own process group: a console event for the launcher's group does not reach it.
  Started& waiter =
      leftovers.Keep(StartCaptured(file, L"waiter", dir, CREATE_NEW_PROCESS_GROUP, true));
  FeedAndSee(waiter, "open early.txt\n", "opened early.txt");
  Started& attacher = leftovers.Keep(StartCaptured(
      L"", Launcher(dir, L"--attach " + Wide(Pid(waiter))), dir, CREATE_NEW_PROCESS_GROUP));
  SeeAttached(attacher, program, waiter);
  FeedAndSee(waiter, "open traced.txt\n", "opened traced.txt");

  std::string failure = signal(attacher);
  if (!failure.empty()) return failure;
  EXPECT_EQ(WaitForSingleObject(attacher.process, kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0))
      << "the launcher did not end:\n"
      << WrittenSoFar(attacher, true);
  Captured launcher = Finish(attacher, 0);
  EXPECT_EQ(launcher.exitCode, 0u) << launcher.err;
  EXPECT_NE(launcher.err.find("qelrun: tracing cleaned up in " + program + " (process " +
                              Pid(waiter) + "); it runs on untraced"),
            std::string::npos)
      << launcher.err;
  EXPECT_EQ(WaitForSingleObject(waiter.process, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  FeedAndSee(waiter, "open after.txt\n", "opened after.txt");
  std::vector<std::string> log = LogLines(dir);
  EXPECT_EQ(log.empty() ? std::string() : log.back(), "CleanUp OK");
  EXPECT_LT(FirstLine(log, "CreateFileW <" + program + ">, , \"traced.txt\""), log.size())
      << ReadLog(dir);
  EXPECT_FALSE(LogHas(log, "after.txt"));
  EXPECT_EQ(Finish(waiter, kWaitMs).exitCode, 7u);
  return std::string();
}

// Ctrl+Break through the console the launcher shares with this program. Wine's headless
// consoles do not carry it (measured in the guest: GenerateConsoleCtrlEvent answers FALSE,
// error 12 on the console a program started from a Unix shell without a terminal gets,
// error 6 on one from AllocConsole): the case then skips with the error it saw, and the
// next one runs the same detach through the event the handler sets.
TEST(QelrunAttach, CtrlBreakDetachesAndTheProgramRunsOnUntraced) {
  AllocConsole();
  std::string failure = ExpectSignalDetaches("break", [](const Started& attacher) {
    if (GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, attacher.pid)) return std::string();
    return "GenerateConsoleCtrlEvent answered FALSE, error " + std::to_string(GetLastError());
  });
  if (!failure.empty()) GTEST_SKIP() << "Ctrl+Break cannot be delivered here: " << failure;
}

// The event that Ctrl+C, Ctrl+Break and the console's closing set, set from outside.
TEST(QelrunAttach, TheDetachEventDetachesAndTheProgramRunsOnUntraced) {
  std::string failure = ExpectSignalDetaches("event", [](const Started& attacher) {
    std::wstring name = L"Local\\qelrun-detach-" + std::to_wstring(attacher.pid);
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (event == nullptr) return "OpenEventW failed, error " + std::to_string(GetLastError());
    BOOL set = SetEvent(event);
    CloseHandle(event);
    return set ? std::string() : "SetEvent failed, error " + std::to_string(GetLastError());
  });
  EXPECT_EQ(failure, "");
}

// --children with --attach: the processes the program starts once attached to are traced
// from their start, two levels deep; after a detach the next ones run untraced and the
// program goes on. The launcher prints the tree when it detaches.
TEST(QelrunAttach, ChildrenOfAnAttachedProgramAreTracedUntilDetached) {
  Leftovers leftovers;
  std::wstring dir = WorkDir("attach_children");
  Started& waiter =
      leftovers.Keep(StartCaptured(Here() + L"qelrun_waiter.exe", L"qelrun_waiter", dir, 0, true));
  ASSERT_NE(waiter.process, nullptr);
  FeedAndSee(waiter, "open early.txt\n", "opened early.txt");
  // One list for the program and its children: the probe checks its GetCurrentProcessId slot.
  qeltest::WriteFileBytes(dir + L"settings\\Qelvorn.ini", "[Option]\r\nspan=1\r\nmax_size=0\r\n");
  qeltest::WriteFileBytes(
      dir + L"settings\\Qelvorn.lst",
      HookList("qelrun_waiter.exe") + "import_module=qelrun_probe.exe\r\ndll=kernel32.dll\r\n");
  Started& attacher = leftovers.Keep(
      StartCaptured(L"", Launcher(dir, L"--children --attach " + Wide(Pid(waiter))), dir));
  SeeAttached(attacher, "qelrun_waiter.exe", waiter);
  std::wstring here = Here();
  std::string probe = "\"" + std::string(here.begin(), here.end()) + "qelrun_probe.exe\" --levels ";
  // Each level of the probe adds 1 when it was traced from its start, 101 when not.
  FeedAndSee(waiter, "run " + probe + "2\n", "ran exit ");
  EXPECT_NE(WrittenSoFar(waiter, false).find("\nran exit 2\n"), std::string::npos)
      << WrittenSoFar(waiter, false);

  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE,
                            (L"Local\\qelrun-detach-" + std::to_wstring(attacher.pid)).c_str());
  ASSERT_NE(event, nullptr) << GetLastError();
  EXPECT_TRUE(SetEvent(event));
  CloseHandle(event);
  ASSERT_EQ(WaitForSingleObject(attacher.process, kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  Captured launcher = Finish(attacher, 0);
  EXPECT_EQ(launcher.exitCode, 0u) << launcher.err;
  const std::regex tree(
      R"(qelrun: process tree[^\n]*\n)"
      R"(qelrun: \d+ qelrun_waiter\.exe, parent -, still running, [^\n]*\n)"
      R"(qelrun:   \d+ qelrun_probe\.exe, parent \d+, exit code 2, [^\n]*\.txt\r?\n)"
      R"(qelrun:     \d+ qelrun_probe\.exe, parent \d+, exit code 1, [^\n]*\.txt\r?\n)");
  EXPECT_TRUE(std::regex_search(launcher.err, tree)) << launcher.err;

  FeedAndSee(waiter, "run " + probe + "1\n", "ran exit 101\n");
  EXPECT_EQ(Finish(waiter, kWaitMs).exitCode, 7u);
}

// A 64-bit program attached to and detached from through the 32-bit launcher, which hands
// both to x64\qelrun.exe; --auto makes the list for the program's own file.
TEST(QelrunAttach, A64BitProgramIsReachedThroughThe64BitLauncher) {
  Leftovers leftovers;
  std::wstring dir = WorkDir("attach_x64");
  Started& waiter = leftovers.Keep(
      StartCaptured(Here() + L"x64\\qelrun_waiter.exe", L"qelrun_waiter", dir, 0, true));
  ASSERT_NE(waiter.process, nullptr);
  FeedAndSee(waiter, "open early.txt\n", "opened early.txt");
  std::wstring attach = Qelrun() + L"--logs \"" + dir + L"logs\" --auto --only CreateFileW " +
                        L"--attach " + Wide(Pid(waiter));
  Started& attacher = leftovers.Keep(StartCaptured(L"", attach, dir));
  SeeAttached(attacher, "qelrun_waiter.exe", waiter);
  FeedAndSee(waiter, "open wide.txt\n", "opened wide.txt");
  Captured detach = RunCaptured(L"", Qelrun() + L"--detach " + Wide(Pid(waiter)), dir);
  EXPECT_EQ(detach.exitCode, 0u) << detach.err;

  std::vector<std::string> log = LogLines(dir);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "CleanUp OK");
  bool wide = false;
  for (const std::string& line : log) {
    wide =
        wide || (std::regex_match(line, kCallLine64) &&
                 line.find("CreateFileW <qelrun_waiter.exe>, , \"wide.txt\"") != std::string::npos);
  }
  EXPECT_TRUE(wide) << ReadLog(dir);
  Captured ran = Finish(waiter, kWaitMs);
  Captured launcher = Finish(attacher, kWaitMs);
  EXPECT_EQ(ran.exitCode, 7u);
  EXPECT_EQ(launcher.exitCode, 7u) << launcher.err;
}

}  // namespace
