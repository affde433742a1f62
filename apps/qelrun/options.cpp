// Parsing of the launcher's options; the first argument that is not an option is PROGRAM.
#include "options.h"

namespace qelrun {

const char kUsage[] =
    "usage: qelrun [--settings DIR] [--logs DIR]\n"
    "              [--auto [--only PATTERNS] [--drop PATTERNS] [--no-flush]]\n"
    "              [--run-anyway] [--children] PROGRAM [ARGUMENTS...]\n"
    "       qelrun --attach PID|NAME [--settings DIR | --auto [--only..] [--drop..]\n"
    "              [--no-flush]] [--logs DIR] [--children]\n"
    "       qelrun --detach PID|NAME\n"
    "\n"
    "Starts PROGRAM with Qelvorn.dll loaded and tracing set up before its own code runs,\n"
    "then waits for it and exits with its exit code. Messages go to standard error.\n"
    "A 32-bit qelrun hands a 64-bit PROGRAM to x64\\qelrun.exe beside it (same options,\n"
    "same console); as for any 32-bit program, its system folder is the 32-bit one, so\n"
    "name a 64-bit system program as %windir%\\sysnative\\NAME.exe.\n"
    "\n"
    "  --settings DIR  folder with Qelvorn.ini and Qelvorn.lst (default: qelrun's folder)\n"
    "  --logs DIR      folder that receives the log (default: the current folder)\n"
    "  --auto          write a fresh Qelvorn.ini and a Qelvorn.lst for PROGRAM (from the\n"
    "                  definitions in lists\\ beside qelrun) into a new folder under the\n"
    "                  logs folder and use them instead of --settings; what the list\n"
    "                  leaves out is written to left-out.txt beside them\n"
    "  --only PATTERNS with --auto: only functions matching these comma-separated globs\n"
    "  --drop PATTERNS with --auto: not the functions matching these\n"
    "  --no-flush      with --auto: write flush=0, so that each line is written but not\n"
    "                  flushed (it survives the program's crash or kill, not the\n"
    "                  system's); for your own Qelvorn.ini, set flush=0 in it instead\n"
    "  --run-anyway    run PROGRAM untraced when set-up does not answer 0\n"
    "  --children      also trace every process that a traced process creates, set up\n"
    "                  before its own code runs, with the same options, each into a log\n"
    "                  of its own in the logs folder; wait until all have ended, then\n"
    "                  print the process tree (process, program, parent, exit code, log)\n"
    "  --program-file FILE  start FILE; PROGRAM is then only its name in the command\n"
    "                  line (how one qelrun hands a program to the other)\n"
    "  --set-up-child PID --child-pipe PIPE  set up a child of the other width for the\n"
    "                  qelrun serving PIPE (how one qelrun follows children for the other)\n"
    "  --attach PID|NAME  set up tracing in a running process (NAME: its program's file\n"
    "                  name, \".exe\" optional, when exactly one process has it), print\n"
    "                  the log's name and wait: when the process ends, exit with its\n"
    "                  exit code; on Ctrl+C, Ctrl+Break or closing the console, clean up\n"
    "                  tracing there and exit 0 while it runs on untraced\n"
    "  --detach PID|NAME  clean up tracing in a running process from anywhere\n"
    "  --help          this text\n"
    "  --              ends the options (PROGRAM may then start with '-')\n"
    "\n"
    "Exit codes: PROGRAM's own when it ran; otherwise 120 bad command line, 121 PROGRAM\n"
    "not found, 122 PROGRAM not an x86 or x64 Windows program, 123 Qelvorn.dll,\n"
    "qelrun-inject.dll or (for a 64-bit PROGRAM) x64\\qelrun.exe missing, 124 settings or\n"
    "logs folder unusable (or --auto failed), 125 set-up did not answer 0, 126 PROGRAM\n"
    "could not be started or prepared.\n"
    "With --attach and --detach: 120 also several processes have NAME (listed), 121 no\n"
    "such process, 123 also the launcher for the process's width missing, 125 tracing\n"
    "was already set up (--attach) or was not set up (--detach) there, 126 the process\n"
    "cannot be opened (access denied), exited, or set-up or clean-up could not run.\n";

namespace {

// A running process takes the place of PROGRAM: nothing is started, and --detach sets
// nothing up.
qel::Result<Options, std::wstring> CheckProcessOptions(const Options& options) {
  if (!options.attach.empty() && !options.detach.empty()) {
    return qel::Fail(std::wstring(L"--attach and --detach exclude each other"));
  }
  const wchar_t* mode = options.attach.empty() ? L"--detach" : L"--attach";
  if (!options.program.empty()) return qel::Fail(std::wstring(mode) + L" takes no PROGRAM");
  if (options.runAnyway || !options.programFile.empty()) {
    return qel::Fail(std::wstring(mode) + L" goes without --run-anyway and --program-file");
  }
  if (!options.detach.empty() &&
      (options.autoSettings || !options.settingsDir.empty() || !options.logsDir.empty())) {
    return qel::Fail(std::wstring(L"--detach takes no --settings, --logs or --auto"));
  }
  return options;
}

}  // namespace

qel::Result<Options, std::wstring> ParseOptions(int argc, wchar_t** argv) {
  Options options;
  int i = 1;
  for (; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != L'-') break;
    if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
      options.help = true;
      return options;
    }
    if (arg == L"--run-anyway") {
      options.runAnyway = true;
      continue;
    }
    if (arg == L"--auto") {
      options.autoSettings = true;
      continue;
    }
    if (arg == L"--no-flush") {
      options.noFlush = true;
      continue;
    }
    if (arg == L"--children") {
      options.children = true;
      continue;
    }
    if (arg == L"--settings" || arg == L"--logs" || arg == L"--only" || arg == L"--drop" ||
        arg == L"--program-file" || arg == L"--attach" || arg == L"--detach" ||
        arg == L"--set-up-child" || arg == L"--child-pipe") {
      if (i + 1 >= argc || argv[i + 1][0] == L'\0') {
        return qel::Fail(arg + L" needs a value");
      }
      std::wstring& value = arg == L"--settings"       ? options.settingsDir
                            : arg == L"--logs"         ? options.logsDir
                            : arg == L"--only"         ? options.only
                            : arg == L"--drop"         ? options.drop
                            : arg == L"--attach"       ? options.attach
                            : arg == L"--detach"       ? options.detach
                            : arg == L"--set-up-child" ? options.setUpChild
                            : arg == L"--child-pipe"   ? options.childPipe
                                                       : options.programFile;
      value = argv[++i];
      continue;
    }
    return qel::Fail(L"unknown option " + arg + L" (see --help)");
  }
  for (; i < argc; ++i) options.program.push_back(argv[i]);
  if (!options.autoSettings && (!options.only.empty() || !options.drop.empty())) {
    return qel::Fail(L"--only and --drop go with --auto");
  }
  // A settings folder of the user's own is left as it is: its Qelvorn.ini says flush=0.
  if (!options.autoSettings && options.noFlush) {
    return qel::Fail(L"--no-flush goes with --auto (with --settings, put flush=0 in Qelvorn.ini)");
  }
  if (options.autoSettings && !options.settingsDir.empty()) {
    return qel::Fail(L"--auto and --settings exclude each other");
  }
  if (!options.setUpChild.empty() || !options.childPipe.empty()) {
    if (options.setUpChild.empty() || options.childPipe.empty() || !options.program.empty() ||
        !options.attach.empty() || !options.detach.empty()) {
      return qel::Fail(std::wstring(L"--set-up-child PID and --child-pipe go together, alone"));
    }
    return options;
  }
  if (options.children && !options.detach.empty()) {
    return qel::Fail(std::wstring(L"--children goes with PROGRAM or --attach"));
  }
  if (!options.attach.empty() || !options.detach.empty()) return CheckProcessOptions(options);
  if (options.program.empty()) {
    return qel::Fail(L"no PROGRAM given (see --help)");
  }
  return options;
}

}  // namespace qelrun
