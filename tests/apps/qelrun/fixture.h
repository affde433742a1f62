// Shared pieces of the launcher tests: work folders, settings, logs, line matching.
#pragma once

#include <cstddef>
#include <regex>
#include <string>
#include <vector>

namespace qeltest {

// The test program's folder, with a trailing backslash.
std::wstring Here();
// The system folder, with a trailing backslash.
std::wstring System32();
std::wstring Wide(const std::string& s);
// A fresh folder under the test's own with settings\ and logs\ and an input.txt inside.
std::wstring WorkDir(const std::string& name);
// Hook list tracing kernel32's file and console calls made by module.
std::string HookList(const std::string& module);
void WriteSettings(const std::wstring& dir, const std::string& module);
// The launcher's command line up to PROGRAM, with dir's settings and logs folders.
std::wstring Launcher(const std::wstring& dir, const std::wstring& options = L"");
std::string WithoutLauncherLines(const std::string& text);
std::vector<std::string> Lines(const std::string& text);
// The one log in dir\logs.
std::string ReadLog(const std::wstring& dir);

extern const std::regex kCallLine;
extern const std::regex kPreLine;

// Runs crasher (a build of qelrun_crasher.exe) alone and traced in a fresh work folder
// named name: both end with the access violation, with the same output, and the log ends
// with the pre line (of the log's width, preLine) of the WriteFile in flight, whose bad
// byte-count pointer prints as badPointer.
void ExpectCrashWithCallInFlight(const std::string& name, const std::wstring& crasher,
                                 const std::regex& preLine, const std::string& badPointer);

// Index of the first call line holding needle, or lines.size().
size_t FirstLine(const std::vector<std::string>& lines, const std::string& needle);

}  // namespace qeltest
