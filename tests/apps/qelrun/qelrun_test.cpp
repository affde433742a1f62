// The launcher end to end in the guest: a trace of find.exe, bad input, a crash, a
// program that checks from inside, argument quoting.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "command_line.h"
#include "fixture.h"
#include "support/process_run.h"
#include "support/test_support.h"

namespace {

using namespace qeltest;

TEST(QelrunTrace, FindCallsAreLoggedWithDecodedArgumentsBeforeItsOutput) {
  std::wstring dir = WorkDir("find_trace");
  WriteSettings(dir, "find.exe");
  Captured traced = RunCaptured(L"", Launcher(dir) + L"find alpha input.txt", dir);
  ASSERT_EQ(traced.exitCode, 0u) << traced.err;
  EXPECT_NE(traced.out.find("alpha again"), std::string::npos);
  std::string text = ReadLog(dir);
  std::vector<std::string> log = Lines(text);
  size_t open = FirstLine(log, "CreateFileW <find.exe>, , \"input.txt\", 80000000");
  size_t firstCall = FirstLine(log, "<find.exe>");
  size_t firstWrite = FirstLine(log, "WriteFile <find.exe>");
  ASSERT_LT(open, log.size()) << "no CreateFileW of input.txt in\n" << text;
  EXPECT_LT(FirstLine(log, "ReadFile <find.exe>"), log.size());
  ASSERT_LT(firstWrite, log.size()) << "find's output is not traced";
  EXPECT_LT(firstCall, firstWrite);
  EXPECT_LT(open, firstWrite);
  // Nobody calls QelCleanUp_: the log ends with the program's last traced call.
  EXPECT_NE(log.back().find("<find.exe>"), std::string::npos) << log.back();
  std::fputs(text.c_str(), stdout);
}

TEST(QelrunCrash, ExitCodeIsTheExceptionAndTheLogEndsWithTheCallInFlight) {
  ExpectCrashWithCallInFlight("crash", Here() + L"qelrun_crasher.exe", kPreLine, "00000010");
}

TEST(QelrunFromInside, EntryPointRunsAfterSetUpAnswered) {
  std::wstring dir = WorkDir("probe");
  WriteSettings(dir, "qelrun_probe.exe");
  Captured traced = RunCaptured(L"", Launcher(dir) + L"qelrun_probe.exe", Here());
  EXPECT_EQ(traced.exitCode, 0u) << traced.out << traced.err;
  EXPECT_NE(traced.out.find("entry: patched"), std::string::npos) << traced.out;
  EXPECT_NE(ReadLog(dir).find("GetCurrentProcessId <qelrun_probe.exe>"), std::string::npos);
  Captured alone = RunCaptured(Here() + L"qelrun_probe.exe", L"qelrun_probe", Here());
  EXPECT_EQ(alone.exitCode, 3u);
  EXPECT_NE(alone.out.find("entry: genuine"), std::string::npos) << alone.out;
}

TEST(QelrunSetUpFails, ProgramIsStoppedUnlessRunAnyway) {
  std::wstring dir = WorkDir("stale");
  WriteSettings(dir, "qelrun_probe.exe");
  // A settings file written long ago: its tracing window is closed.
  HANDLE ini = CreateFileW((dir + L"settings\\Qelvorn.ini").c_str(), FILE_WRITE_ATTRIBUTES, 0,
                           nullptr, OPEN_EXISTING, 0, nullptr);
  FILETIME old{0, 0x01b00000};
  ASSERT_TRUE(SetFileTime(ini, &old, &old, &old));
  CloseHandle(ini);
  std::wstring marker = dir + L"ran.txt";
  std::wstring program = L"cmd /c \"echo ran> " + marker + L"& exit /b 7\"";
  Captured stopped = RunCaptured(L"", Launcher(dir) + program, dir);
  EXPECT_EQ(stopped.exitCode, 125u) << stopped.err;
  EXPECT_NE(stopped.err.find("qelrun: set-up answered -1; cmd.exe was stopped before it ran"),
            std::string::npos)
      << stopped.err;
  EXPECT_EQ(GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES);
  Captured anyway = RunCaptured(L"", Launcher(dir, L"--run-anyway ") + program, dir);
  EXPECT_EQ(anyway.exitCode, 7u) << anyway.err;
  EXPECT_NE(anyway.err.find("untraced (--run-anyway)"), std::string::npos) << anyway.err;
  EXPECT_NE(GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(QelrunAuto, WritesSettingsUnderTheLogsFolderAndTraces) {
  std::wstring dir = WorkDir("auto");
  // The definitions are the shipped ones: the build copies lists\ beside the launcher.
  // --auto goes without --settings.
  std::wstring line = L"\"" + Here() + L"qelrun.exe\" --logs \"" + dir +
                      L"logs\" --auto --only Create* find alpha input.txt";
  Captured run = RunCaptured(L"", line, dir);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_NE(run.err.find("qelrun: --auto: settings for 1 functions written to "), std::string::npos)
      << run.err;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"logs\\qelrun-auto-find-*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  std::string lst = qeltest::ReadFileBytes(dir + L"logs\\" + found.cFileName + L"\\Qelvorn.lst");
  EXPECT_NE(lst.find("api=CreateFileW"), std::string::npos) << lst;
  EXPECT_EQ(lst.find("api=ReadFile"), std::string::npos) << lst;
  EXPECT_NE(ReadLog(dir).find("CreateFileW <find.exe>, , \"input.txt\""), std::string::npos);
}

// A program of ours that imports OLEAUT32 by ordinal only: --auto takes the names from the
// DLL the program loads (the system folder's), and says in one line how many functions it
// left out, with the reasons in left-out.txt beside the settings.
TEST(QelrunAuto, NamesOrdinalImportsAndWritesWhatItLeavesOutToAFile) {
  std::wstring dir = WorkDir("auto_ordinal");
  std::wstring line = L"\"" + Here() + L"qelrun.exe\" --logs \"" + dir + L"logs\" --auto \"" +
                      Here() + L"qelrun_ordinal.exe\"";
  Captured run = RunCaptured(L"", line, dir);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(run.out, "made 7 characters\n");
  std::smatch said;
  ASSERT_TRUE(std::regex_search(
      run.err, said,
      std::regex(R"(qelrun: --auto: (\d+) functions left out, see (.*\\)left-out\.txt\r\n)")))
      << run.err;
  size_t mentions = 0;
  for (size_t at = 0; (at = run.err.find("left out", at)) != std::string::npos; ++at) ++mentions;
  EXPECT_EQ(mentions, 1u) << run.err;
  std::wstring folder = Wide(said[2]);
  std::string leftOut = qeltest::ReadFileBytes(folder + L"left-out.txt");
  ASSERT_GE(leftOut.size(), 2u);
  EXPECT_EQ(leftOut.substr(leftOut.size() - 2), "\r\n");
  std::vector<std::string> reasons = Lines(leftOut.substr(0, leftOut.size() - 2));
  for (const std::string& reason : reasons) {
    EXPECT_EQ(reason.rfind("left out ", 0), 0u) << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
  }
  EXPECT_GE(std::stoul(said[1]), reasons.size());
  EXPECT_NE(leftOut.find(" wsprintfW: "), std::string::npos) << leftOut;
  EXPECT_EQ(leftOut.find("OLEAUT32"), std::string::npos) << leftOut;
  std::string lst = qeltest::ReadFileBytes(folder + L"Qelvorn.lst");
  EXPECT_NE(lst.find("imported_module=OLEAUT32.dll\r\n"
                     "api=SysAllocString,2,,,,,,,,w\r\n"
                     "api=SysFreeString,6,,,,,,,,p\r\n"),
            std::string::npos)
      << lst;
  std::string log = ReadLog(dir);
  EXPECT_NE(log.find("SysAllocString <qelrun_ordinal.exe>, , \"ordinal\""), std::string::npos)
      << log;
  EXPECT_NE(log.find("SysFreeString <qelrun_ordinal.exe>, , "), std::string::npos) << log;
}

// --no-flush adds flush=0 to the settings --auto writes, and the program is traced.
TEST(QelrunAuto, NoFlushWritesFlushZero) {
  std::wstring dir = WorkDir("auto_noflush");
  std::wstring line = L"\"" + Here() + L"qelrun.exe\" --logs \"" + dir +
                      L"logs\" --auto --only Create* --no-flush find alpha input.txt";
  Captured run = RunCaptured(L"", line, dir);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"logs\\qelrun-auto-find-*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  EXPECT_EQ("[Option]\r\nspan=1\r\nmax_size=1000000\r\nflush=0\r\n",
            qeltest::ReadFileBytes(dir + L"logs\\" + found.cFileName + L"\\Qelvorn.ini"));
  EXPECT_NE(ReadLog(dir).find("CreateFileW <find.exe>, , \"input.txt\""), std::string::npos);
}

struct BadCase {
  const char* name;
  const wchar_t* launcher;  // folder of the launcher copy: empty for the test's own
  const wchar_t* options;
  const wchar_t* program;
  unsigned long exitCode;
  const char* says;
};

// A program whose name leaves no room for a log file name beside the logs folder.
const std::wstring kLongName = std::wstring(120, L'n') + L".exe";

const BadCase kBadCases[] = {
    {"unknown_option", L"", L"--bogus", L"find x input.txt", 120, "unknown option --bogus"},
    {"no_program", L"", L"", L"", 120, "no PROGRAM given"},
    {"no_flush_without_auto", L"", L"--no-flush", L"find x input.txt", 120,
     "--no-flush goes with --auto"},
    {"program_file_no_value", L"", L"--program-file", L"", 120, "--program-file needs a value"},
    {"children_with_detach", L"", L"--children --detach 4", L"", 120,
     "--children goes with PROGRAM or --attach"},
    {"set_up_child_without_pipe", L"", L"--set-up-child 4", L"", 120,
     "--set-up-child PID and --child-pipe go together"},
    {"set_up_child_with_program", L"", L"--set-up-child 4 --child-pipe p", L"find x", 120,
     "--set-up-child PID and --child-pipe go together"},
    {"not_found", L"", L"", L"qelrun_no_such_program x", 121, "not found"},
    {"not_pe", L"", L"", L"notpe.exe", 122, "is not a Windows program"},
    {"arm64", L"", L"", L"arm64", 122, "is neither an x86 nor an x64 program"},
    {"no_qelvorn", L"lonely", L"", L"find x input.txt", 123, "Qelvorn.dll is missing"},
    {"no_helper", L"nohelper", L"", L"find x input.txt", 123, "qelrun-inject.dll is missing"},
    {"settings_empty", L"", L"--settings logs", L"find x input.txt", 124, "has no Qelvorn.ini"},
    {"logs_missing", L"", L"--logs nosuch\\deeper", L"find x input.txt", 124, "does not exist"},
    {"logs_is_file", L"", L"--logs input.txt", L"find x input.txt", 124, "does not exist"},
    {"name_too_long", L"", L"", kLongName.c_str(), 124, "is too long for a log file name"},
};

// A PE32+ header of an ARM64 program: neither launcher traces it.
std::string Arm64Header() {
  std::string image(1024, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3c] = 0x40;
  image.replace(0x40, 4, std::string("PE\0\0", 4));
  image[0x44] = static_cast<char>(0x64);  // ARM64
  image[0x45] = static_cast<char>(0xaa);
  image[0x54] = static_cast<char>(0xf0);  // optional header size
  image[0x56] = 0x22;                     // executable, large-address aware
  image[0x58] = 0x0b;                     // PE32+ magic
  image[0x59] = 0x02;
  return image;
}

TEST(QelrunBadInput, ClearMessageAndExitCode) {
  std::wstring dir = WorkDir("bad");
  WriteSettings(dir, "find.exe");
  qeltest::WriteFileBytes(dir + L"notpe.exe", "just text\r\n");
  qeltest::WriteFileBytes(dir + L"arm64.exe", Arm64Header());
  ASSERT_TRUE(CopyFileW(L"C:\\windows\\system32\\find.exe", (dir + kLongName).c_str(), FALSE));
  for (const wchar_t* copy : {L"lonely", L"nohelper"}) {
    std::wstring folder = dir + copy + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((Here() + L"qelrun.exe").c_str(), (folder + L"qelrun.exe").c_str(), 0));
  }
  ASSERT_TRUE(CopyFileW((Here() + L"Qelvorn.dll").c_str(), (dir + L"nohelper\\Qelvorn.dll").c_str(),
                        FALSE));
  ASSERT_TRUE(CopyFileW((Here() + L"qelrun-inject.dll").c_str(),
                        (dir + L"lonely\\qelrun-inject.dll").c_str(), FALSE));
  for (const BadCase& c : kBadCases) {
    SCOPED_TRACE(c.name);
    std::wstring exe = *c.launcher ? dir + c.launcher + L"\\qelrun.exe" : Here() + L"qelrun.exe";
    std::wstring line = L"\"" + exe + L"\" " + c.options + L" " + c.program;
    Captured run = RunCaptured(L"", line, dir);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("qelrun: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
}

// A pipe named as PROGRAM is refused, never read: a read of a pipe whose other end never
// writes would wait forever. Windows lets the search find it and the file type refuses it
// (122); Wine's GetFileAttributesW knows no pipe, so there the search answers 121.
TEST(QelrunBadInput, APipeAsProgramIsRefusedUnread) {
  std::wstring dir = WorkDir("pipe_program");
  const std::wstring pipe = L"\\\\.\\pipe\\qelrun-test-pipe.exe";
  HANDLE server =
      CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 4, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  Captured run = RunCaptured(L"", L"\"" + Here() + L"qelrun.exe\" " + pipe, dir);
  CloseHandle(server);
  ASSERT_TRUE(run.started);
  ASSERT_TRUE(run.exitCode == 121u || run.exitCode == 122u) << run.exitCode << " " << run.err;
  EXPECT_NE(run.err.find(run.exitCode == 122u ? "is not a regular file" : "not found"),
            std::string::npos)
      << run.err;
}

TEST(QelrunArguments, ReachTheProgramExactlyAsGiven) {
  std::wstring dir = WorkDir("arguments");
  WriteSettings(dir, "qelrun_probe.exe");
  const std::vector<std::wstring> args = {L"plain",  L"two words", L"",           L"\"",
                                          L"a\\b",   L"a\\\\b\\",  L"x\\\"y",     L"tail\\\\",
                                          L"\\\\\"", L"tab\there", L"semi;colon", L"\u65e5\u672c",
                                          L"%PATH%", L"a&b|c",     L"*.txt",      L"  lead sp"};
  std::vector<std::wstring> line = {L"qelrun_probe.exe", L"--args"};
  line.insert(line.end(), args.begin(), args.end());
  Captured run = RunCaptured(L"", Launcher(dir) + qelrun::JoinCommandLine(line), Here());
  ASSERT_EQ(run.exitCode, args.size()) << run.err;
  std::string expected;
  for (const std::wstring& arg : args) {
    int n = WideCharToMultiByte(CP_UTF8, 0, arg.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(n - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, arg.c_str(), -1, &utf8[0], n, nullptr, nullptr);
    expected += "[" + utf8 + "]\n";
  }
  EXPECT_EQ(run.out, expected);
}

}  // namespace
