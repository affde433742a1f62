// 64-bit programs that Wine ships, traced through the 32-bit launcher, which hands them to
// x64\qelrun.exe: output, exit code and written files are the same as without tracing, and
// the log decodes their calls. This test program is 32-bit, as a user's qelrun.exe is, so
// it names the 64-bit system programs through %windir%\sysnative.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "fixture.h"
#include "support/process_run.h"
#include "support/test_support.h"

namespace {

using namespace qeltest;

// Call lines of a 64-bit log: 16-digit return address and result columns.
const std::regex kCallLine64(R"(^\d\d:\d\d:\d\d:\d\d\d, +\d+, [0-9a-f]{16}, .*)");
const std::regex kPreLine64(R"(^\d\d:\d\d:\d\d:\d\d\d, +\d+, [0-9a-f]{16}, {17}, {9}, .*)");

std::string Ascii(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

std::wstring Sysnative() {
  wchar_t buffer[MAX_PATH];
  UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
  return std::wstring(buffer, n) + L"\\sysnative\\";
}

// Lines of the log that are 64-bit call lines of module and hold every needle.
size_t CountCalls(const std::vector<std::string>& log, const std::string& module,
                  const std::vector<std::string>& needles) {
  size_t count = 0;
  for (const std::string& line : log) {
    if (!std::regex_match(line, kCallLine64) || line.find("<" + module + ">") == std::string::npos)
      continue;
    bool all = true;
    for (const std::string& needle : needles) all = all && line.find(needle) != std::string::npos;
    count += all ? 1 : 0;
  }
  return count;
}

struct X64Case {
  const char* name;
  const char* program;  // in the 64-bit system folder
  const char*
      arguments;  // run in a work folder holding input.txt, other.txt and src\ with two files
  std::vector<const char*> written;  // files the program writes there, compared byte for byte
  const char* opened;                // a file name that a call line shows in quotes
};

// The guest's Wine has findstr and fc only as stubs that start and exit 0: they still show
// a start-up traced and an exit code passed on.
const X64Case kX64Cases[] = {
    {"findstr", "findstr", "alpha input.txt", {}, ""},
    {"fc_differ", "fc", "input.txt other.txt", {}, ""},
    {"find", "find", "alpha input.txt", {}, "input.txt"},
    {"find_no_match", "find", "zzz input.txt", {}, "input.txt"},
    {"find_missing_file", "find", "alpha nosuch.txt", {}, "nosuch.txt"},
    {"xcopy", "xcopy", "/I /Y src dst", {"dst\\a.txt", "dst\\b.txt"}, "a.txt"},
    {"cmd_write",
     "cmd",
     "/c \"echo written by cmd> out.txt& type out.txt& exit /b 4\"",
     {"out.txt"},
     "out.txt"},
    {"reg_missing_key", "reg", "query HKCU\\Software\\QelrunNoSuchKey", {}, ""},
    {"where", "where", "cmd.exe", {}, ""},
    {"whoami", "whoami", "", {}, ""},
};

std::wstring PrepareFolder(const std::string& name) {
  std::wstring dir = WorkDir(name);
  qeltest::WriteFileBytes(dir + L"other.txt", "alpha line\r\ngamma line\r\nalpha again\r\n");
  CreateDirectoryW((dir + L"src").c_str(), nullptr);
  qeltest::WriteFileBytes(dir + L"src\\a.txt", "first file\r\n");
  qeltest::WriteFileBytes(dir + L"src\\b.txt", std::string(70000, 'b'));
  return dir;
}

TEST(QelrunX64, WineProgramsRunAsAloneAndTheirCallsAreDecoded) {
  for (const X64Case& c : kX64Cases) {
    SCOPED_TRACE(c.name);
    std::wstring program = Sysnative() + Wide(c.program) + L".exe";
    std::wstring tail = L"\"" + program + L"\" " + Wide(c.arguments);
    std::wstring aloneDir = PrepareFolder(std::string(c.name) + "_alone");
    std::wstring tracedDir = PrepareFolder(std::string(c.name) + "_traced");
    Captured alone = RunCaptured(program, tail, aloneDir);
    Captured traced = RunCaptured(
        L"", L"\"" + Here() + L"qelrun.exe\" --logs \"" + tracedDir + L"logs\" --auto " + tail,
        tracedDir);
    ASSERT_TRUE(alone.started);
    ASSERT_TRUE(traced.started);
    EXPECT_EQ(traced.exitCode, alone.exitCode) << traced.err;
    EXPECT_EQ(traced.out, alone.out);
    EXPECT_EQ(WithoutLauncherLines(traced.err), alone.err);
    EXPECT_NE(traced.err.find("qelrun: tracing " + std::string(c.program) + ".exe into "),
              std::string::npos)
        << traced.err;
    for (const char* file : c.written) {
      std::string expected = qeltest::ReadFileBytes(aloneDir + Wide(file));
      EXPECT_FALSE(expected.empty()) << file;
      EXPECT_EQ(qeltest::ReadFileBytes(tracedDir + Wide(file)), expected) << file;
    }
    std::vector<std::string> log = Lines(ReadLog(tracedDir));
    std::string module = std::string(c.program) + ".exe";
    EXPECT_GT(CountCalls(log, module, {}), 0u) << "no 64-bit call lines of " << module;
    if (*c.opened) {
      EXPECT_GT(CountCalls(log, module, {"\"" + std::string(c.opened) + "\""}), 0u)
          << "no call line shows \"" << c.opened << "\"";
    }
    // Whatever reaches standard output was written through a traced call: its byte count or
    // its text is on a line.
    if (!alone.out.empty()) {
      EXPECT_GT(CountCalls(log, module, {"Write"}), 0u) << "no write call of " << module;
    }
  }
}

// A 64-bit program of ours that crashes inside a traced WriteFile: the exit code is the
// exception's and the log ends with the call in flight.
TEST(QelrunX64, CrashEndsWithTheExceptionAndTheCallInFlight) {
  ExpectCrashWithCallInFlight("x64_crash", Here() + L"x64\\qelrun_crasher.exe", kPreLine64,
                              "0000000000000010");
}

// The launcher's folder without x64\: a 64-bit program is refused with the missing file's
// name; with x64\ copied in, the handed-over launcher reads the settings beside the 32-bit
// one, as the 32-bit launcher would.
TEST(QelrunX64, HandOverNeedsTheX64FolderAndKeepsTheDefaultSettings) {
  std::wstring dir = WorkDir("x64_handover");
  std::wstring home = dir + L"release\\";
  CreateDirectoryW(home.c_str(), nullptr);
  for (const wchar_t* file : {L"qelrun.exe", L"qelrun-inject.dll", L"Qelvorn.dll"}) {
    ASSERT_TRUE(CopyFileW((Here() + file).c_str(), (home + file).c_str(), FALSE));
  }
  WriteSettings(dir, "find.exe");
  for (const wchar_t* file : {L"Qelvorn.ini", L"Qelvorn.lst"}) {
    ASSERT_TRUE(CopyFileW((dir + L"settings\\" + file).c_str(), (home + file).c_str(), FALSE));
  }
  std::wstring line = L"\"" + home + L"qelrun.exe\" --logs \"" + dir + L"logs\" \"" + Sysnative() +
                      L"find.exe\" alpha input.txt";
  Captured missing = RunCaptured(L"", line, dir);
  EXPECT_EQ(missing.exitCode, 123u);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("qelrun: " + Ascii(home) + "x64\\qelrun.exe is missing"),
            std::string::npos)
      << missing.err;

  CreateDirectoryW((home + L"x64").c_str(), nullptr);
  for (const wchar_t* file : {L"x64\\qelrun.exe", L"x64\\qelrun-inject.dll", L"x64\\Qelvorn.dll"}) {
    ASSERT_TRUE(CopyFileW((Here() + file).c_str(), (home + file).c_str(), FALSE));
  }
  Captured traced = RunCaptured(L"", line, dir);
  EXPECT_EQ(traced.exitCode, 0u) << traced.err;
  EXPECT_NE(traced.out.find("alpha again"), std::string::npos) << traced.out;
  std::vector<std::string> log = Lines(ReadLog(dir));
  EXPECT_GT(CountCalls(log, "find.exe", {"CreateFileW", "\"input.txt\""}), 0u);
}

// The 64-bit launcher run directly hands a 32-bit program back to the 32-bit one.
TEST(QelrunX64, The64BitLauncherHandsA32BitProgramBack) {
  std::wstring dir = WorkDir("x64_handback");
  WriteSettings(dir, "find.exe");
  wchar_t wow64[MAX_PATH];
  UINT n = GetSystemWow64DirectoryW(wow64, MAX_PATH);
  ASSERT_GT(n, 0u);
  std::wstring line = L"\"" + Here() + L"x64\\qelrun.exe\" --settings \"" + dir +
                      L"settings\" --logs \"" + dir + L"logs\" \"" + std::wstring(wow64, n) +
                      L"\\find.exe\" alpha input.txt";
  Captured traced = RunCaptured(L"", line, dir);
  EXPECT_EQ(traced.exitCode, 0u) << traced.err;
  EXPECT_NE(traced.out.find("alpha again"), std::string::npos) << traced.out;
  std::vector<std::string> log = Lines(ReadLog(dir));
  EXPECT_LT(FirstLine(log, "CreateFileW <find.exe>, , \"input.txt\""), log.size());

  // A program handed over is never handed on again, which could go back and forth forever.
  std::wstring handed = L"\"" + Here() + L"x64\\qelrun.exe\" --settings \"" + dir +
                        L"settings\" --program-file \"" + std::wstring(wow64, n) +
                        L"\\find.exe\" find alpha input.txt";
  Captured refused = RunCaptured(L"", handed, dir);
  EXPECT_EQ(refused.exitCode, 122u) << refused.err;
  EXPECT_NE(refused.err.find("was handed over as a program of the other width"), std::string::npos)
      << refused.err;
}

}  // namespace
