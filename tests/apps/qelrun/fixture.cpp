// Work folders, settings and log reading for the launcher tests.
#include "fixture.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/process_run.h"
#include "support/test_support.h"

namespace qeltest {

std::wstring Here() {
  wchar_t buffer[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  std::wstring path(buffer, n);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring System32() {
  wchar_t buffer[MAX_PATH];
  UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
  return std::wstring(buffer, n) + L"\\";
}

std::wstring Wide(const std::string& s) {
  return std::wstring(s.begin(), s.end());
}

std::wstring WorkDir(const std::string& name) {
  std::wstring root = Here() + L"qelrun-work\\";
  CreateDirectoryW(root.c_str(), nullptr);
  std::wstring dir = root + Wide(name) + L"\\";
  CreateDirectoryW(dir.c_str(), nullptr);
  CreateDirectoryW((dir + L"settings").c_str(), nullptr);
  CreateDirectoryW((dir + L"logs").c_str(), nullptr);
  qeltest::WriteFileBytes(dir + L"input.txt", "alpha line\r\nbeta line\r\nalpha again\r\n");
  return dir;
}

std::string HookList(const std::string& module) {
  return "[Imported]\r\n"
         "imported_module=kernel32.dll\r\n"
         "api=CreateFileW,,,,,,,,,W,4,4,x,4,4,x\r\n"
         "api=ReadFile,,,,,,,,,x,p,d,p,x\r\n"
         "api=WriteFile,,,,,,,,,x,p,d,p,x\r\n"
         "api=WriteConsoleW,,,,,,,,,x,p,d,p,x\r\n"
         "api=GetStdHandle,,,,,,,,,4\r\n"
         "api=CloseHandle,,,,,,,,,x\r\n"
         "api=GetCurrentProcessId,,,,,,,,,\r\n"
         "[Import]\r\n"
         "import_module=" +
         module +
         "\r\n"
         "dll=kernel32.dll\r\n";
}

void WriteSettings(const std::wstring& dir, const std::string& module) {
  qeltest::WriteFileBytes(dir + L"settings\\Qelvorn.ini", "[Option]\r\nspan=1\r\nmax_size=0\r\n");
  qeltest::WriteFileBytes(dir + L"settings\\Qelvorn.lst", HookList(module));
}

std::wstring Launcher(const std::wstring& dir, const std::wstring& options) {
  return L"\"" + Here() + L"qelrun.exe\" --settings \"" + dir + L"settings\" --logs \"" + dir +
         L"logs\" " + options;
}

std::string WithoutLauncherLines(const std::string& text) {
  std::string kept;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, end - start);
    if (line.rfind("qelrun: ", 0) != 0) kept += line;
    start = end;
  }
  return kept;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string ReadLog(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"logs\\$$$*.txt").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return std::string();
  FindClose(search);
  return qeltest::ReadFileBytes(dir + L"logs\\" + found.cFileName);
}

const std::regex kCallLine(R"(^\d\d:\d\d:\d\d:\d\d\d, +\d+, [0-9a-f]{8}, .*)");
const std::regex kPreLine(R"(^\d\d:\d\d:\d\d:\d\d\d, +\d+, [0-9a-f]{8}, {9}, {9}, .*)");

size_t FirstLine(const std::vector<std::string>& lines, const std::string& needle) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (std::regex_match(lines[i], kCallLine) && lines[i].find(needle) != std::string::npos) {
      return i;
    }
  }
  return lines.size();
}

void ExpectCrashWithCallInFlight(const std::string& name, const std::wstring& crasher,
                                 const std::regex& preLine, const std::string& badPointer) {
  std::wstring dir = WorkDir(name);
  WriteSettings(dir, "qelrun_crasher.exe");
  Captured alone = RunCaptured(crasher, L"qelrun_crasher", dir);
  Captured traced = RunCaptured(L"", Launcher(dir) + L"\"" + crasher + L"\"", dir);
  EXPECT_EQ(alone.exitCode, static_cast<unsigned long>(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_EQ(traced.exitCode, static_cast<unsigned long>(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_EQ(traced.out, alone.out);
  std::vector<std::string> log = Lines(ReadLog(dir));
  while (!log.empty() && log.back().empty()) log.pop_back();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(std::regex_match(log.back(), preLine)) << log.back();
  EXPECT_NE(log.back().find("WriteFile <qelrun_crasher.exe>, , "), std::string::npos) << log.back();
  EXPECT_NE(log.back().find(badPointer), std::string::npos) << log.back();
}

}  // namespace qeltest
