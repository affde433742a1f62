// Running a fixture host program that traces itself, and reading what it left: its own
// report (DIR\host.txt), its log, and the call lines of the log with the clock, thread
// and return-address columns cut off.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qeltest {

struct HostRun {
  int exitCode = -1;
  std::string dir;  // where the files were written, ending in a backslash
  std::string report;
  std::string log;                 // the first log file
  std::vector<std::string> logs;   // every log file, in slot order
  std::vector<std::string> calls;  // after the column header line, up to clean-up
};

struct HostOptions {
  std::string ini = "[Option]\r\nspan=1\r\nmax_size=0\r\n";
  DWORD timeoutMs = 180000;  // then the host is killed and exitCode is -2
};

// Writes Qelvorn.ini and hookList into a fresh directory and runs
// "program SCENARIO DIR\" from the test folder, waiting up to three minutes.
HostRun RunHost(const std::string& program, const std::string& scenario,
                const std::string& hookList);
HostRun RunHost(const std::string& program, const std::string& scenario,
                const std::string& hookList, const HostOptions& options);

// Patterns for masked call lines: any 32-bit hex word, any address (as wide as a pointer,
// like the return-address and result columns), a blank address, and the pre and post forms.
extern const std::string kAnyWord;
extern const std::string kAnyAddress;
// An address column left blank, as the result of a pre line.
extern const std::string kBlankAddress;
// A value as the log prints an address, a result, a handle or a "p" or "x" argument: in
// hex digits as wide as a pointer (8 on x86, 16 on x64).
std::string Address(uintptr_t value);
std::string Pre(const std::string& api, const std::string& rest);
std::string Post(const std::string& result, const std::string& api, const std::string& rest);

// Each line must match the pattern at its position; extra or missing lines fail too.
void ExpectLines(const std::vector<std::string>& patterns, const std::vector<std::string>& lines);

}  // namespace qeltest
