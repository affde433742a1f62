// The qelvorn-report command: options, inputs, and which outputs to write.
#pragma once
#include <ostream>
#include <string>
#include <vector>

namespace qel::report {

// Exit codes of the command.
enum ExitCode {
  kExitOk = 0,
  kExitUsage = 1,       // the command line is wrong
  kExitUnreadable = 2,  // an input cannot be found or read
  kExitNotALog = 3,     // an input is not a trace log, or the inputs mix processes
  kExitOutput = 4,      // the summary or the HTML page cannot be written
};

// Runs the command on `arguments` (without the program name); the summary goes to `out`,
// messages to `err`.
int RunReport(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace qel::report
