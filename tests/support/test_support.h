// Helpers shared by the test programs: fresh directories in the guest's tmpfs,
// whole-file reads and writes, and the DLL's exported functions.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qeltest {

// A new empty directory under %TEMP% (the guest's tmpfs), ending in a backslash.
std::string MakeTempDir(const std::string& tag);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// The same for paths beyond the ANSI code page.
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Sets the last-write time of a file or directory to offsetSeconds from the moment of the
// first call in this process (negative: the past); equal offsets give equal times.
bool SetLastWriteRelative(const std::string& path, long long offsetSeconds);
// The folder of the running test program, ending in a backslash.
std::string ProgramDir();
// Splits log text into lines at CR LF.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace qeltest

namespace qeltest {

// The cp932 bytes of a UTF-8 text, as the library writes its Japanese messages.
std::string Sjis(const char* utf8);

// The DLL under test, loaded from the test program's folder, and its exports.
struct QelvornDll {
  HMODULE module = nullptr;
  int(WINAPI* setUp)(const char*, const char*, char*, int) = nullptr;
  int(WINAPI* writeLog)(const char*, char*, int) = nullptr;
  int(WINAPI* cleanUp)(char*, int) = nullptr;
};
const QelvornDll& Dll();

// Runs a scope with address waits on or off (off: as before Windows 8), and turns them
// back on when it ends, also when an assertion leaves the scope early.
struct AddressWaitsScope {
  explicit AddressWaitsScope(bool use);
  ~AddressWaitsScope();
  AddressWaitsScope(const AddressWaitsScope&) = delete;
  AddressWaitsScope& operator=(const AddressWaitsScope&) = delete;
};

// Writes a Qelvorn.ini into dir with the given body (CR LF lines are the caller's), and a
// valid Qelvorn.lst that traces nothing; a test that traces writes its own list after it.
void WriteIni(const std::string& dir, const std::string& body);
// Names of the files in dir matching a wildcard pattern, sorted.
std::vector<std::string> ListFiles(const std::string& dir, const std::string& pattern);

}  // namespace qeltest

namespace qeltest {

// Runs a program of the test folder with arguments, waits up to timeoutMs and answers
// its exit code (-1 when it could not start, -2 when it timed out and was killed).
int RunProgram(const std::string& program, const std::string& arguments, DWORD timeoutMs);

}  // namespace qeltest
