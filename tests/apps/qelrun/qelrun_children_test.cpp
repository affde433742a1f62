// --children in the guest: a program of ours that starts itself three levels deep (one level
// created suspended) and checks from inside each level that it was traced before its entry
// point ran; cmd.exe running Wine's programs, of both widths, traced one log per process
// with the same output and exit code as untraced; the process tree the launcher prints.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "fixture.h"
#include "support/process_run.h"
#include "support/test_support.h"

namespace {

using namespace qeltest;

std::vector<std::wstring> LogsIn(const std::wstring& dir) {
  std::vector<std::wstring> logs;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"logs\\$$$*.txt").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return logs;
  do {
    logs.push_back(dir + L"logs\\" + found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return logs;
}

// The lines of the launcher's process tree, without the "qelrun: " prefix.
std::vector<std::string> TreeLines(const std::string& err) {
  std::vector<std::string> tree;
  size_t at = err.find("qelrun: process tree");
  if (at == std::string::npos) return tree;
  at = err.find('\n', at);
  while (at != std::string::npos && err.compare(at + 1, 8, "qelrun: ") == 0) {
    size_t end = err.find('\n', at + 1);
    std::string line = err.substr(at + 9, end == std::string::npos ? end : end - at - 9);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    tree.push_back(line);
    at = end;
  }
  return tree;
}

TEST(QelrunChildren, EachLevelIsTracedBeforeItsEntryPointEvenWhenCreatedSuspended) {
  std::wstring dir = WorkDir("children_levels");
  WriteSettings(dir, "qelrun_probe.exe");
  std::wstring probe = L"\"" + Here() + L"qelrun_probe.exe\" --levels 3 --suspend-at 2";
  Captured traced = RunCaptured(L"", Launcher(dir, L"--children ") + probe, dir);
  // Every level adds one when it was traced from its start (101 when not).
  EXPECT_EQ(traced.exitCode, 3u) << traced.out << traced.err;
  for (const char* level : {"level 3 ", "level 2 ", "level 1 "}) {
    size_t at = traced.out.find(level);
    ASSERT_NE(at, std::string::npos) << traced.out;
    EXPECT_EQ(traced.out.substr(traced.out.find(" entry ", at), 14), " entry patched")
        << traced.out;
  }
  EXPECT_NE(traced.out.find("level 2 was suspended until resumed"), std::string::npos)
      << traced.out;
  std::vector<std::wstring> logs = LogsIn(dir);
  ASSERT_EQ(logs.size(), 3u) << traced.err;
  for (const std::wstring& log : logs) {
    EXPECT_NE(qeltest::ReadFileBytes(log).find("GetCurrentProcessId <qelrun_probe.exe>"),
              std::string::npos);
  }
  std::vector<std::string> tree = TreeLines(traced.err);
  ASSERT_EQ(tree.size(), 3u) << traced.err;
  const std::regex shapes[] = {
      std::regex(
          R"(^(\d+) qelrun_probe\.exe, parent -, exit code 3, .*\$\$\$qelrun_probe\d\d\$\$\$\(\d+\)\.txt$)"),
      std::regex(R"(^  (\d+) qelrun_probe\.exe, parent (\d+), exit code 2, .*\.txt$)"),
      std::regex(R"(^    (\d+) qelrun_probe\.exe, parent (\d+), exit code 1, .*\.txt$)"),
  };
  std::string parent;
  for (size_t i = 0; i < 3; ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(tree[i], m, shapes[i])) << tree[i];
    if (i > 0) {
      EXPECT_EQ(m[2].str(), parent);
    }
    parent = m[1].str();
  }

  // Without --children only the program itself is traced, and its children run as ever.
  std::wstring plainDir = WorkDir("children_levels_plain");
  WriteSettings(plainDir, "qelrun_probe.exe");
  Captured plain = RunCaptured(L"", Launcher(plainDir) + probe, plainDir);
  EXPECT_EQ(plain.exitCode, 1u + 101u + 101u) << plain.out << plain.err;
  EXPECT_EQ(LogsIn(plainDir).size(), 1u);
  EXPECT_EQ(plain.err.find("process tree"), std::string::npos) << plain.err;
}

struct SpawnCase {
  const char* way;         // as the probe names it, and its report file's stem
  const char* parentSees;  // the probe's answer for it, traced or not
  int exitCode;            // the child's, which the tree shows
  const char* via;         // a pattern of the program between the probe and its child, or nullptr
};

// Children started through other functions than CreateProcess, all in one run of the probe
// that uses each in turn: each child writes from its entry point whether it was already
// traced, has its own log and its place in the tree, and the parent sees what it sees
// untraced.
TEST(QelrunChildren, ChildrenOfOtherStartingFunctionsAreTracedBeforeTheirEntryPoint) {
  const SpawnCase cases[] = {
      {"WinExec", "answered 33, report written", 41, nullptr},
      {"system", "exit code 42", 42, R"(cmd\.exe)"},
      {"_spawnl", "exit code 43", 43, nullptr},
      {"ShellExecuteExA", "exit code 44", 44, nullptr},
  };
  std::wstring probe = L"\"" + Here() + L"qelrun_probe.exe\" --spawn";
  std::wstring aloneDir = WorkDir("children_spawn_alone");
  std::wstring dir = WorkDir("children_spawn");
  WriteSettings(dir, "qelrun_probe.exe");
  Captured alone = RunCaptured(L"", probe, aloneDir);
  Captured traced = RunCaptured(L"", Launcher(dir, L"--children ") + probe, dir);
  ASSERT_TRUE(alone.started);
  EXPECT_EQ(alone.exitCode, 0u) << alone.out;
  EXPECT_EQ(traced.exitCode, alone.exitCode) << traced.err;
  EXPECT_EQ(traced.out, alone.out);

  std::vector<std::string> tree = TreeLines(traced.err);
  std::smatch top;
  ASSERT_FALSE(tree.empty()) << traced.err;
  ASSERT_TRUE(std::regex_match(
      tree[0], top, std::regex(R"(^(\d+) qelrun_probe\.exe, parent -, exit code 0, .*)")))
      << tree[0];
  size_t vias = 0;
  for (const SpawnCase& c : cases) {
    SCOPED_TRACE(c.way);
    EXPECT_NE(alone.out.find(std::string(c.way) + ": " + c.parentSees + "\n"), std::string::npos)
        << alone.out;
    std::string report = std::string(c.way) + ".report";
    EXPECT_EQ(qeltest::ReadFileBytes(aloneDir + Wide(report)).rfind("entry genuine ", 0), 0u);
    std::smatch seen;
    std::string said = qeltest::ReadFileBytes(dir + Wide(report));
    ASSERT_TRUE(std::regex_match(said, seen, std::regex(R"(^entry patched pid (\d+)\n$)"))) << said;
    // The child's line in the tree, under the probe or under the program it went through.
    std::string parent = top[1].str();
    std::string indent = "  ";
    if (c.via != nullptr) {
      ++vias;
      std::smatch via;
      const std::regex viaLine("^  (\\d+) " + std::string(c.via) + ", parent " + parent +
                               ", exit code " + std::to_string(c.exitCode) + ", .*\\.txt$");
      auto line = std::find_if(tree.begin(), tree.end(), [&](const std::string& l) {
        return std::regex_match(l, via, viaLine);
      });
      ASSERT_NE(line, tree.end()) << traced.err;
      parent = via[1].str();
      indent = "    ";
    }
    std::string prefix = indent + seen[1].str() + " qelrun_probe.exe, parent " + parent +
                         ", exit code " + std::to_string(c.exitCode) + ", ";
    auto line = std::find_if(tree.begin(), tree.end(),
                             [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    ASSERT_NE(line, tree.end()) << prefix << "\n" << traced.err;
    std::string log = qeltest::ReadFileBytes(line->substr(prefix.size()));
    EXPECT_NE(log.find("GetCurrentProcessId <qelrun_probe.exe>"), std::string::npos) << *line;
  }
  EXPECT_EQ(tree.size(), 1 + std::size(cases) + vias) << traced.err;
  EXPECT_EQ(LogsIn(dir).size(), tree.size());
}

std::wstring Sysnative() {
  wchar_t buffer[MAX_PATH];
  UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
  return std::wstring(buffer, n) + L"\\sysnative\\";
}

struct CmdCase {
  const char* name;
  std::wstring cmd;                   // the command prompt run, 32- or 64-bit
  std::wstring script;                // cmd /c's argument
  std::vector<const char*> children;  // program names the tree lists under cmd.exe
  std::vector<const char*> written;   // files compared byte for byte with the untraced run
};

TEST(QelrunChildren, CmdScriptsRunAsUntracedWithOneLogPerProcess) {
  const CmdCase cases[] = {
      {"cmd_32",
       L"cmd",
       L"find alpha input.txt & xcopy /I /Y src dst & findstr alpha input.txt & fc input.txt "
       L"other.txt",
       {"find.exe", "xcopy.exe", "findstr.exe", "fc.exe"},
       {"dst\\a.txt", "dst\\b.txt"}},
      // A 64-bit child of the 32-bit cmd is set up by the 64-bit launcher.
      {"cmd_64_child",
       L"cmd",
       L"\"" + Sysnative() + L"find.exe\" alpha input.txt & exit /b 7",
       {"find.exe"},
       {}},
      // A 64-bit cmd, handed to x64\qelrun.exe, whose helper follows its children.
      {"cmd_64",
       Sysnative() + L"cmd.exe",
       L"find alpha input.txt & xcopy /I /Y src dst",
       {"find.exe", "xcopy.exe"},
       {"dst\\a.txt", "dst\\b.txt"}},
  };
  for (const CmdCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring aloneDir = WorkDir(std::string(c.name) + "_alone");
    std::wstring tracedDir = WorkDir(std::string(c.name) + "_traced");
    for (const std::wstring& dir : {aloneDir, tracedDir}) {
      qeltest::WriteFileBytes(dir + L"other.txt", "alpha line\r\ngamma line\r\n");
      CreateDirectoryW((dir + L"src").c_str(), nullptr);
      qeltest::WriteFileBytes(dir + L"src\\a.txt", "first file\r\n");
      qeltest::WriteFileBytes(dir + L"src\\b.txt", std::string(70000, 'b'));
    }
    std::wstring tail = c.cmd + L" /c \"" + c.script + L"\"";
    Captured alone = RunCaptured(L"", tail, aloneDir);
    Captured traced = RunCaptured(L"",
                                  L"\"" + Here() + L"qelrun.exe\" --logs \"" + tracedDir +
                                      L"logs\" --auto --children " + tail,
                                  tracedDir);
    ASSERT_TRUE(alone.started);
    EXPECT_EQ(traced.exitCode, alone.exitCode) << traced.err;
    EXPECT_EQ(traced.out, alone.out);
    EXPECT_EQ(WithoutLauncherLines(traced.err), alone.err);
    for (const char* file : c.written) {
      std::string expected = qeltest::ReadFileBytes(aloneDir + Wide(file));
      EXPECT_FALSE(expected.empty()) << file;
      EXPECT_EQ(qeltest::ReadFileBytes(tracedDir + Wide(file)), expected) << file;
    }
    EXPECT_EQ(LogsIn(tracedDir).size(), 1 + c.children.size()) << traced.err;
    std::vector<std::string> tree = TreeLines(traced.err);
    ASSERT_EQ(tree.size(), 1 + c.children.size()) << traced.err;
    EXPECT_NE(tree[0].find(" cmd.exe, parent -, exit code " + std::to_string(alone.exitCode)),
              std::string::npos)
        << tree[0];
    for (size_t i = 0; i < c.children.size(); ++i) {
      EXPECT_EQ(tree[1 + i].rfind("  ", 0), 0u) << tree[1 + i];
      EXPECT_NE(tree[1 + i].find(std::string(" ") + c.children[i] + ", parent "), std::string::npos)
          << tree[1 + i];
      std::string stem = std::string(c.children[i]).substr(0, std::strcspn(c.children[i], "."));
      EXPECT_NE(tree[1 + i].find("$$$" + stem + "00$$$"), std::string::npos) << tree[1 + i];
    }
  }
}

// A child that cannot be set up (its name leaves no room for a log's name) runs untraced:
// its output and exit code are the untraced ones, and the tree says why it has no log.
TEST(QelrunChildren, AChildThatCannotBeSetUpRunsUntraced) {
  std::wstring dir = WorkDir("children_untraceable");
  WriteSettings(dir, "cmd.exe");
  std::wstring longName = std::wstring(120, L'n') + L".exe";
  ASSERT_TRUE(CopyFileW((System32() + L"find.exe").c_str(), (dir + longName).c_str(), FALSE));
  std::wstring tail = L"cmd /c \"" + longName + L" alpha input.txt\"";
  Captured alone = RunCaptured(L"", tail, dir);
  Captured traced = RunCaptured(L"", Launcher(dir, L"--children ") + tail, dir);
  EXPECT_EQ(traced.exitCode, alone.exitCode) << traced.err;
  EXPECT_EQ(traced.out, alone.out);
  EXPECT_NE(traced.out.find("alpha again"), std::string::npos) << traced.out;
  EXPECT_EQ(LogsIn(dir).size(), 1u);
  std::vector<std::string> tree = TreeLines(traced.err);
  ASSERT_EQ(tree.size(), 2u) << traced.err;
  EXPECT_NE(tree[1].find(", not traced: the program's name "), std::string::npos) << tree[1];
}

}  // namespace
