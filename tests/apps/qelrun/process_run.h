// Running a program with its standard output and error captured in files.
#pragma once

#include <string>

namespace qelruntest {

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

}  // namespace qelruntest
