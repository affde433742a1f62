// Running a program with its standard output and error captured in files.
#pragma once

#include <windows.h>

#include <string>

namespace qeltest {

struct Captured {
  std::string out;
  std::string err;
  unsigned long exitCode = 0;
  bool started = false;
};

// Runs commandLine (program taken from application when not empty) in folder, with
// standard input from NUL; waits up to five minutes.
Captured RunCaptured(const std::wstring& application, const std::wstring& commandLine,
                     const std::wstring& folder);

// A program left running: its standard input is a pipe the test writes (or NUL), its
// output and error go to files.
struct Started {
  HANDLE process = nullptr;
  DWORD pid = 0;
  HANDLE input = nullptr;  // the pipe's write end; null once closed
  std::wstring stem;       // the files are stem + ".out" and ".err"
};

// Starts commandLine as RunCaptured does, with creation flags, and with standard input
// from a pipe when piped.
Started StartCaptured(const std::wstring& application, const std::wstring& commandLine,
                      const std::wstring& folder, DWORD flags = 0, bool piped = false);

// Writes text to the program's standard input.
bool Feed(const Started& started, const std::string& text);

// Closes the program's standard input: a reader then sees its end.
void CloseInput(Started& started);

// What the program has written so far to its output (err false) or error.
std::string WrittenSoFar(const Started& started, bool err);

// Waits up to timeoutMs until the output (or error) holds needle.
bool WaitForText(const Started& started, bool err, const std::string& needle, DWORD timeoutMs);

// Closes its input, waits up to timeoutMs for its end (ending it with 999 after that) and
// answers what it wrote.
Captured Finish(Started& started, DWORD timeoutMs);

}  // namespace qeltest
