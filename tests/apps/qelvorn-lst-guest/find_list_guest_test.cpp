// qelvorn-lst.exe in the guest, on a program nobody here wrote: Wine's own find.exe. Its list
// must be what the build machine's qelvorn-lst writes for the same file, and it must drive
// the real Qelvorn.dll: set-up accepts it and the log decodes arguments by its codes.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/host_run.h"
#include "support/test_support.h"

using qeltest::kAnyWord;
using qeltest::Post;
using qeltest::Pre;

namespace {

// The guest's find.exe, and its own DLLs beside it: the same files that
// tools/guest/extract-wine-binaries.sh copies out for the build machine's tests.
const char kFind[] = "C:\\windows\\system32\\find.exe";

// Runs qelvorn-lst.exe of the test folder; answers its exit code and the list it wrote.
int MakeList(const std::string& arguments, std::string* list) {
  std::string dir = qeltest::MakeTempDir("lst");
  int code =
      qeltest::RunProgram("qelvorn-lst.exe", "-o " + dir + "Qelvorn.lst " + arguments, 180000);
  *list = qeltest::ReadFileBytes(dir + "Qelvorn.lst");
  return code;
}

// A regular expression that matches text byte for byte.
std::string Literal(const std::string& text) {
  std::string pattern;
  for (char c : text) {
    if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

// Each pattern must match a line after the one the previous pattern matched: the host's
// runtime may make traced calls of its own in between.
void ExpectInOrder(const std::vector<std::string>& patterns,
                   const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& pattern : patterns) {
    std::regex re(pattern);
    while (at < lines.size() && !std::regex_match(lines[at], re)) ++at;
    if (at == lines.size()) {
      std::string log;
      for (const std::string& line : lines) log += "\n  " + line;
      ADD_FAILURE() << "no line (in order) matches " << pattern << "\ncall lines:" << log;
      return;
    }
    ++at;
  }
}

// The number in "module, dll, N" of the set-up's module listing, or -1.
int RedirectedSlots(const std::string& log, const std::string& importer, const std::string& dll) {
  std::smatch found;
  std::regex line("\r\n" + Literal(importer) + ", " + Literal(dll) + ", (\\d+)\r\n",
                  std::regex::icase);
  return std::regex_search(log, found, line) ? std::stoi(found[1]) : -1;
}

TEST(QelvornLstGuest, WritesForFindExeWhatTheBuildMachineWrites) {
  std::string list;
  ASSERT_EQ(0, MakeList(kFind, &list));
  // Written on the build machine by the native qelvorn-lst from the same find.exe and its
  // DLLs, and compared there too (test_qelvorn_lst, FindExeFixture).
  std::string expected = qeltest::ReadFileBytes(qeltest::ProgramDir() + "fixtures\\find.exe.lst");
  ASSERT_FALSE(expected.empty()) << "fixtures\\find.exe.lst is missing beside the test program";
  EXPECT_EQ(expected, list);
  std::vector<std::string> lines = qeltest::SplitLines(list);
  ASSERT_GT(lines.size(), 2u);
  EXPECT_EQ("[Imported]", lines[1]);
  for (const char* line :
       {"imported_module=kernel32.dll", "api=CreateFileW,,,,,,,,,w,4,4,p,4,4,x",
        "api=ReadFile,,,,,,,,,x,p,d,p,p", "api=WriteFile,,,,,,,,,x,p,d,p,p",
        "api=GetProcAddress,,,1,1,1,,,,x,S", "imported_module=ucrtbase.dll",
        "api=fwrite,,1,,,,,,,p,d,d,p", "imported_module=user32.dll",
        "api=LoadStringW,,,,,,,,,x,4,p,d", "[Import]", "import_module=find.exe"}) {
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), line)) << line;
  }
}

// Started as a shell finds it through PATH: a bare name as its first word, and another
// current folder. Its definitions are the lists/ beside the program, not beside the caller.
TEST(QelvornLstGuest, FindsItsListsWhenStartedByBareNameFromAnotherFolder) {
  std::string dir = qeltest::MakeTempDir("lstpath");
  std::string program = qeltest::ProgramDir() + "qelvorn-lst.exe";
  std::string commandLine = "qelvorn-lst.exe -o " + dir + "Qelvorn.lst " + kFind;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                             dir.c_str(), &startup, &process));
  DWORD code = 99;
  if (WaitForSingleObject(process.hProcess, 180000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  } else {
    TerminateProcess(process.hProcess, 99);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(0u, code);
  std::string expected = qeltest::ReadFileBytes(qeltest::ProgramDir() + "fixtures\\find.exe.lst");
  EXPECT_EQ(expected, qeltest::ReadFileBytes(dir + "Qelvorn.lst"));
}

TEST(QelvornLstGuest, BadInputInTheGuest) {
  std::string list;
  EXPECT_EQ(1, MakeList("C:\\windows\\system32\\no-such-program.exe", &list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(1, MakeList(std::string("--keep-dll nosuch.dll ") + kFind, &list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(2, MakeList("--frobnicate", &list));
  // Regular files only: a folder, a device and a pipe are refused, none of them read.
  for (const char* notAFile : {"C:\\windows", "NUL", "\\\\.\\pipe\\qelvorn-lst-none"}) {
    EXPECT_EQ(1, MakeList(notAFile, &list)) << notAFile;
    EXPECT_TRUE(list.empty());
  }
  // --dll-dir is taken by the Windows build too; find.exe's DLLs are in that folder anyway.
  std::string expected = qeltest::ReadFileBytes(qeltest::ProgramDir() + "fixtures\\find.exe.lst");
  EXPECT_EQ(0, MakeList(std::string("--dll-dir C:\\windows\\system32 ") + kFind, &list));
  EXPECT_EQ(expected, list);
}

TEST(QelvornLstGuest, FindExesListTracesAHostOfOurs) {
  std::string list;
  ASSERT_EQ(0, MakeList(kFind, &list));
  // find.exe cannot load Qelvorn.dll itself, so a host of ours takes its place: the
  // [Imported] section stays exactly as generated for find.exe, and only the importing
  // module of the [Import] section is renamed. The host imports a subset of the same
  // kernel32 and user32 functions; find.exe's ucrtbase functions are listed but the host,
  // linked against msvcrt, has no slots for them.
  const std::string from = "import_module=find.exe\r\n";
  size_t at = list.find(from);
  ASSERT_NE(std::string::npos, at);
  list.replace(at, from.size(), "import_module=lst_host.exe\r\n");

  qeltest::HostRun run = qeltest::RunHost("lst_host.exe", "trace", list);
  EXPECT_EQ(0, run.exitCode) << run.report;
  EXPECT_NE(std::string::npos, run.report.find("setup 0\n")) << run.report;
  EXPECT_NE(std::string::npos, run.report.find("read hello\nconverted round\n")) << run.report;
  std::smatch file;
  ASSERT_TRUE(std::regex_search(run.report, file, std::regex("file ([^\n]+)\n"))) << run.report;
  ASSERT_FALSE(run.log.empty());

  // Every listed function is bound to a HookEntry.
  size_t listed = 0;
  for (const std::string& line : qeltest::SplitLines(list)) listed += line.rfind("api=", 0) == 0;
  std::vector<std::string> lines = qeltest::SplitLines(run.log);
  auto start = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("[api listing start", 0) == 0;
  });
  auto end = std::find(start, lines.end(), "[api listing end]");
  ASSERT_NE(lines.end(), end);
  size_t bound = std::count_if(start + 1, end, [](const std::string& l) { return !l.empty(); });
  EXPECT_EQ(listed, bound);
  EXPECT_GE(RedirectedSlots(run.log, "lst_host.exe", "kernel32.dll"), 7);
  EXPECT_GE(RedirectedSlots(run.log, "lst_host.exe", "user32.dll"), 1);

  // Arguments decoded by the generated codes: w,4,4,p,4,4,x for CreateFileW and so on.
  const std::string host = " <lst_host\\.exe>";
  const std::string name = "\"" + Literal(file[1]) + "\"";
  // A null pointer given to p, s or w is shown by the library's marker and the address.
  const std::string nullPointer = Literal(
      "(\x81\xa1"
      "bad pointer\x81\xa1)00000000");
  const std::string nullText = Literal(
      "\"(\x81\xa1"
      "bad string\x81\xa1)00000000\"");
  const std::string nullWide = Literal(
      "(\x81\xa1"
      "bad w string\x81\xa1)00000000");
  const std::string create =
      ", " + name + ", 40000000, 00000000, " + nullPointer + ", 00000002, 00000080, \\(null\\)";
  const std::string open =
      ", " + name + ", 80000000, 00000001, " + nullPointer + ", 00000003, 00000080, \\(null\\)";
  const std::string write =
      ", " + kAnyWord + ", " + kAnyWord + ", 5, " + kAnyWord + ", " + nullPointer;
  const std::string read =
      ", " + kAnyWord + ", " + kAnyWord + ", 15, " + kAnyWord + ", " + nullPointer;
  const std::string toWide = ", 00000000, 00000000, \"round\", 4294967295, " + kAnyWord + ", 16";
  const std::string toNarrow = ", 00000000, 00000000, \"round\", 4294967295, " + kAnyWord +
                               ", 16, " + nullText + ", " + nullPointer;
  const std::string loadString = ", 00400000, 00000007, " + kAnyWord + ", 16";
  ExpectInOrder(
      {
          Pre("CreateFileW" + host, create),
          Post(kAnyWord, "CreateFileW" + host, create),
          Pre("WriteFile" + host, write),
          Post("00000001", "WriteFile" + host, write),
          Pre("CloseHandle" + host, ", " + kAnyWord),
          Post("00000001", "CloseHandle" + host, ", " + kAnyWord),
          Pre("CreateFileW" + host, open),
          Post(kAnyWord, "CreateFileW" + host, open),
          Pre("ReadFile" + host, read),
          Post("00000001", "ReadFile" + host, read),
          Pre("MultiByteToWideChar" + host, toWide),
          Post("00000006", "MultiByteToWideChar" + host, toWide),
          Pre("WideCharToMultiByte" + host, toNarrow),
          Post("00000006", "WideCharToMultiByte" + host, toNarrow),
          Pre("GetModuleHandleW" + host, ", \"kernel32\\.dll\""),
          Post(kAnyWord, "GetModuleHandleW" + host, ", \"kernel32\\.dll\""),
          Pre("GetModuleHandleW" + host, ", " + nullWide),
          Post("00400000", "GetModuleHandleW" + host, ", " + nullWide),
          Pre("LoadStringW" + host, loadString),
          Post("00000000", "LoadStringW" + host, loadString),
      },
      run.calls);
}

}  // namespace
