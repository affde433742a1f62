// The launcher's command line: its own options, then PROGRAM and its arguments.
#pragma once

#include <string>
#include <vector>

#include "common/result.h"

namespace qelrun {

struct Options {
  std::wstring settingsDir;  // empty: the launcher's folder
  std::wstring logsDir;      // empty: the current folder
  bool runAnyway = false;
  bool autoSettings = false;  // --auto: make fresh settings under the logs folder
  std::wstring only;          // --auto's function patterns to keep
  std::wstring drop;          // --auto's function patterns to leave out
  bool noFlush = false;       // --auto's settings write flush=0
  bool help = false;
  bool children = false;              // --children: trace the processes the program creates
  std::wstring setUpChild;            // --set-up-child PID: set up this suspended child
  std::wstring childPipe;             // --child-pipe: the pipe of the launcher serving it
  std::wstring attach;                // --attach PID|NAME: set up tracing in this running process
  std::wstring detach;                // --detach PID|NAME: clean up tracing in this running process
  std::wstring programFile;           // --program-file: start this file, PROGRAM only names it
  std::vector<std::wstring> program;  // PROGRAM and its arguments, as given
};

// The options in argv (argv[0] skipped), or a sentence saying what is wrong with them.
qel::Result<Options, std::wstring> ParseOptions(int argc, wchar_t** argv);

extern const char kUsage[];

}  // namespace qelrun
