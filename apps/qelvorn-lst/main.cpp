// qelvorn-lst: writes a complete Qelvorn.lst for a 32-bit or 64-bit program from its import
// tables, with the definitions of the program's kind.
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>

#include "common/hook_list_maker.h"
#include "common/text_encoding.h"

namespace {

// Exit codes.
constexpr int kOk = 0;
constexpr int kBadInput = 1;  // unreadable or malformed module, nothing to trace, unknown DLL
constexpr int kUsage = 2;
constexpr int kWriteFailed = 3;

const char kHelp[] =
    "usage: qelvorn-lst [OPTIONS] PROGRAM [MODULE...]\n"
    "Writes a Qelvorn.lst (CR LF) that traces every function PROGRAM and its own DLLs\n"
    "(MODULEs, and DLLs found beside PROGRAM) import from the system DLLs that have\n"
    "definitions under lists/ (lists/x64/ for a 64-bit PROGRAM).\n"
    "  -o FILE            write to FILE (default: standard output); nothing is written on error\n"
    "  --keep-dll LIST    only these DLLs (comma-separated globs, any case)\n"
    "  --drop-dll LIST    not these DLLs\n"
    "  --keep LIST        only functions whose names match (e.g. *File*)\n"
    "  --drop LIST        not these functions (e.g. Heap*)\n"
    "  --lists DIR        definitions folder (default: lists/ beside this program, then\n"
    "                     ../lists, then the source tree's)\n"
    "  --dll-dir DIR      a folder holding system DLLs, to name the functions imported by\n"
    "                     ordinal; repeatable, searched first (then the modules' folders"
#ifdef _WIN32
    ",\n                     the system folder, Sysnative, the Windows folder and PATH);\n"
    "                     the first DLL of PROGRAM's kind (32-bit or 64-bit) is read\n"
#else
    ");\n                     the first DLL of PROGRAM's kind (32-bit or 64-bit) is read\n"
#endif
    "  --help             this text\n"
    "What was left out goes to standard error, names from the files escaped (\\x1b).\n"
    "PROGRAM and MODULEs must be regular files of at most 256 MiB. At most 1001 functions\n"
    "are written.\n"
    "Exit codes: 0 written; 1 bad input (not a regular file or too large, not an i386 or\n"
    "x86-64 PE, a MODULE of the other kind, malformed import table, no imports, unknown DLL,\n"
    "nothing to trace); 2 bad options; 3 the output cannot be written.\n";

// Writes beside the target first so a failed write never leaves a partial file under its name.
bool WriteThroughTemporary(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out.write(text.data(), static_cast<std::streamsize>(text.size())) || !out.flush()) {
      out.close();
      std::remove(temporary.c_str());
      return false;
    }
  }
  std::remove(path.c_str());
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

int Run(int argc, char** argv) {
  qel::HookListRequest request;
  std::string output;
  std::vector<std::string> positional;
  std::vector<std::string> listsDirs;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return kOk;
    } else if (arg == "-o" || arg == "--keep-dll" || arg == "--drop-dll" || arg == "--keep" ||
               arg == "--drop" || arg == "--lists" || arg == "--dll-dir") {
      if (!value(&v)) {
        std::fprintf(stderr, "qelvorn-lst: %s needs a value\n", arg.c_str());
        return kUsage;
      }
      if (arg == "-o") output = v;
      if (arg == "--keep-dll") request.keepDlls = qel::ParseNamePatterns(v);
      if (arg == "--drop-dll") request.dropDlls = qel::ParseNamePatterns(v);
      if (arg == "--keep") request.keepFunctions = qel::ParseNamePatterns(v);
      if (arg == "--drop") request.dropFunctions = qel::ParseNamePatterns(v);
      if (arg == "--lists") listsDirs.push_back(v);
      if (arg == "--dll-dir") request.dllDirs.push_back(v);
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "qelvorn-lst: unknown option %s (see --help)\n",
                   qel::EscapePath(arg).c_str());
      return kUsage;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) {
    std::fputs("qelvorn-lst: no PROGRAM given (see --help)\n", stderr);
    return kUsage;
  }
  request.program = positional[0];
  request.modules.assign(positional.begin() + 1, positional.end());
  request.listsDirs = listsDirs.empty() ? qel::DefaultListsDirs() : listsDirs;
  qel::HookList list;
  qel::Status made = qel::MakeHookList(request, &list);
  for (const std::string& note : list.notes)
    std::fprintf(stderr, "qelvorn-lst: %s\n", note.c_str());
  if (!made) {
    std::fprintf(stderr, "qelvorn-lst: %s\n", made.message().c_str());
    return kBadInput;
  }
  if (output.empty()) {
    std::fwrite(list.text.data(), 1, list.text.size(), stdout);
    return std::fflush(stdout) == 0 ? kOk : kWriteFailed;
  }
  if (!WriteThroughTemporary(output, list.text)) {
    std::fprintf(stderr, "qelvorn-lst: cannot write %s\n", qel::EscapePath(output).c_str());
    return kWriteFailed;
  }
  std::fprintf(stderr, "qelvorn-lst: %zu functions written to %s\n", list.functions,
               qel::EscapePath(output).c_str());
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelvorn-lst: %s\n", e.what());
  } catch (...) {
    std::fputs("qelvorn-lst: unexpected failure\n", stderr);
  }
  return kBadInput;
}
