// qelvorn-lst against program files that anyone may have written: amplified tables, files
// that are not regular files, DLL names that are not file names, names that would move a
// terminal, and DLL files searched for the names of ordinals. Each case runs the real tool
// in a child process with a watchdog and a memory bound.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/hook_list_maker.h"
#include "common/pe_image.h"
#include "common/text_encoding.h"
#include "pe_builder.h"
#include "temp_folder.h"

#if defined(__SANITIZE_ADDRESS__)
#define QEL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_UNDER_ASAN 1
#endif
#endif

namespace {

namespace fs = std::filesystem;
using qeltest::BuildPe;
using qeltest::BuildPeAround;
using qeltest::kNoTable;
using qeltest::kSectionRva;
using qeltest::Put32;
using qeltest::WriteBytes;

const std::string kLists = QEL_SOURCE_LISTS_DIR;

using Folder = qeltest::TempFolder;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct ToolRun {
  int exitCode = -1;  // -1: killed (by the watchdog or the memory bound)
  long peakKib = 0;   // the child's peak resident memory
  double seconds = 0;
  std::string out, err;
};

constexpr unsigned kWatchdogSeconds = 20;
// Far above what the bounded reader needs and far below what the amplified tables asked for.
constexpr long kPeakKibBound = 200 * 1024;

// Runs qelvorn-lst with args; a hang ends at the watchdog, a runaway allocation at 1 GiB of
// address space (not under AddressSanitizer, whose shadow memory needs more).
ToolRun RunTool(const std::vector<std::string>& args, const std::string& folder) {
  std::string tool = fs::read_symlink("/proc/self/exe").parent_path() / "qelvorn-lst";
  std::string outPath = folder + "/tool.out", errPath = folder + "/tool.err";
  auto started = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) {
#ifndef QEL_UNDER_ASAN
    rlimit limit{rlim_t{1} << 30, rlim_t{1} << 30};
    setrlimit(RLIMIT_AS, &limit);
#endif
    alarm(kWatchdogSeconds);
    if (!freopen(outPath.c_str(), "wb", stdout) || !freopen(errPath.c_str(), "wb", stderr))
      _exit(99);
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(98);
  }
  ToolRun run;
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakKib = usage.ru_maxrss;
  run.out = ReadAll(outPath);
  run.err = ReadAll(errPath);
  return run;
}

// An import table whose descriptors all share one list of entries that all name one
// function of nameLength bytes: a small file that claims descriptors * entries names.
std::vector<uint8_t> SharedNameImports(size_t descriptors, size_t entries, size_t nameLength) {
  std::vector<uint8_t> s((descriptors + 1) * 20, 0);
  uint32_t dllName = static_cast<uint32_t>(s.size());
  const std::string dll = "KERNEL32.dll";
  s.insert(s.end(), dll.begin(), dll.end() + 1);
  uint32_t hintName = static_cast<uint32_t>(s.size());
  s.resize(s.size() + 2 + nameLength, 'A');
  s.push_back(0);
  uint32_t thunks = static_cast<uint32_t>(s.size());
  s.resize(s.size() + (entries + 1) * 4, 0);
  for (size_t e = 0; e < entries; ++e) Put32(s, thunks + e * 4, kSectionRva + hintName);
  for (size_t d = 0; d < descriptors; ++d) {
    Put32(s, d * 20, kSectionRva + thunks);
    Put32(s, d * 20 + 12, kSectionRva + dllName);
    Put32(s, d * 20 + 16, kSectionRva + thunks);
  }
  return BuildPeAround(s, 0, kNoTable);
}

// One import of ReadFile, and an export table of `names` names that all point at one name
// of nameLength bytes.
std::vector<uint8_t> SharedNameExports(size_t names, size_t nameLength) {
  std::vector<uint8_t> s(2 * 20, 0);
  uint32_t thunks = static_cast<uint32_t>(s.size());
  s.resize(s.size() + 8, 0);
  uint32_t dllName = static_cast<uint32_t>(s.size());
  const std::string dll = "KERNEL32.dll", fn = "ReadFile";
  s.insert(s.end(), dll.begin(), dll.end() + 1);
  uint32_t hintName = static_cast<uint32_t>(s.size());
  s.resize(s.size() + 2, 0);
  s.insert(s.end(), fn.begin(), fn.end() + 1);
  Put32(s, thunks, kSectionRva + hintName);
  Put32(s, 0, kSectionRva + thunks);
  Put32(s, 12, kSectionRva + dllName);
  Put32(s, 16, kSectionRva + thunks);
  uint32_t name = static_cast<uint32_t>(s.size());
  s.resize(s.size() + nameLength, 'B');
  s.push_back(0);
  uint32_t nameTable = static_cast<uint32_t>(s.size());
  s.resize(s.size() + names * 4, 0);
  for (size_t i = 0; i < names; ++i) Put32(s, nameTable + i * 4, kSectionRva + name);
  uint32_t ordinals = static_cast<uint32_t>(s.size());
  s.resize(s.size() + names * 2, 0);
  uint32_t dir = static_cast<uint32_t>(s.size());
  s.resize(s.size() + 40, 0);
  Put32(s, dir + 16, 1);
  Put32(s, dir + 24, static_cast<uint32_t>(names));
  Put32(s, dir + 32, kSectionRva + nameTable);
  Put32(s, dir + 36, kSectionRva + ordinals);
  return BuildPeAround(s, 0, dir);
}

struct LimitCase {
  const char* what;
  std::vector<uint8_t> image;
  const char* says;
};

TEST(QelvornLstHostile, AmplifiedTablesAreRefusedWithBoundedWork) {
  const LimitCase cases[] = {
      // The reported file: 340 KB claiming 4,095 x 65,535 names of 4,000 bytes.
      {"4,095 descriptors share 65,535 entries naming one 4,000-byte name",
       SharedNameImports(4095, 65535, 4000), "MiB of names"},
      {"4,095 descriptors share 65,535 entries naming one 1-byte name",
       SharedNameImports(4095, 65535, 1), "more than 65536 imports"},
      {"one descriptor, 65,535 entries naming one 4,000-byte name",
       SharedNameImports(1, 65535, 4000), "MiB of names"},
      {"65,536 export names share one 4,000-byte name", SharedNameExports(65536, 4000),
       "MiB of names"},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.what);
    Folder dir;
    WriteBytes(dir / "prog.exe", c.image);
    EXPECT_LT(c.image.size(), 400u * 1024);
    ToolRun run = RunTool({"--lists", kLists, "-o", dir / "out.lst", dir / "prog.exe"}, dir.path());
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_LT(run.peakKib, kPeakKibBound);
    EXPECT_LT(run.seconds, 10.0);
    EXPECT_FALSE(fs::exists(dir / "out.lst"));
  }
}

// The cap on imports holds for the program and its modules together, not per file only.
TEST(QelvornLstHostile, ImportsAreCappedOverAllTheFilesOfOneList) {
  Folder dir;
  WriteBytes(dir / "prog.exe", SharedNameImports(1, 40000, 1));
  WriteBytes(dir / "mod.dll", SharedNameImports(1, 40000, 1));
  ToolRun run = RunTool(
      {"--lists", kLists, "-o", dir / "out.lst", dir / "prog.exe", dir / "mod.dll"}, dir.path());
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_NE(run.err.find("more than 65536 imports in the program and its DLLs"), std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(dir / "out.lst"));
}

TEST(QelvornLstHostile, OnlyRegularFilesOfBoundedSize) {
  struct Case {
    const char* what;
    const char* says;
  } const cases[] = {
      {"a FIFO", "is a FIFO, not a regular file"},
      {"a device", "is a device, not a regular file"},
      {"a folder", "is a folder, not a program file"},
      {"a file over the size limit", "is larger than 256 MiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folder dir;
    std::string program = dir / "prog.exe";
    std::string what = c.what;
    if (what == "a FIFO") {
      ASSERT_EQ(mkfifo(program.c_str(), 0600), 0);
    } else if (what == "a device") {
      program = "/dev/zero";
    } else if (what == "a folder") {
      fs::create_directory(program);
    } else {
      WriteBytes(program, BuildPe({{"KERNEL32.dll", {"ReadFile"}}}));
      fs::resize_file(program, qel::kMaxImageFileBytes + 1);  // sparse: costs no disk
    }
    // As PROGRAM, and as a MODULE beside a good program.
    WriteBytes(dir / "good.exe", BuildPe({{"KERNEL32.dll", {"ReadFile"}}}));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{program}, std::vector<std::string>{dir / "good.exe", program}}) {
      std::vector<std::string> line{"--lists", kLists, "-o", dir / "out.lst"};
      line.insert(line.end(), args.begin(), args.end());
      ToolRun run = RunTool(line, dir.path());
      EXPECT_EQ(run.exitCode, 1) << run.err;
      EXPECT_EQ(
          run.err,
          "qelvorn-lst: " + program + " " + c.says +
              (what == "a file over the size limit" ? ", more than any program file\n" : "\n"));
      EXPECT_LT(run.seconds, 10.0);
      EXPECT_FALSE(fs::exists(dir / "out.lst"));
    }
  }
}

// Nothing but printable ASCII and line ends on standard error.
bool OnlyPrintable(const std::string& text) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\n') || u >= 0x7f) return false;
  }
  return true;
}

TEST(QelvornLstHostile, DllNamesThatAreNotFileNamesAreLeftOut) {
  struct Case {
    const char* what;
    std::string dll;      // as the import table spells it
    std::string planted;  // a definitions file it would reach, relative to lists/
    std::string shown;    // how the note shows it
  } const cases[] = {
      {"a slash", "sub/evil.dll", "sub/evil.lst", "sub/evil.dll"},
      {"a backslash", "sub\\evil.dll", "sub\\evil.lst", "sub\\\\evil.dll"},
      {"a drive colon", "c:evil.dll", "c:evil.lst", "c:evil.dll"},
      {"..", "../evil.dll", "../evil.lst", "../evil.dll"},
      {"CR LF", "evil\r\nimported_module=x.dll", "evil\r\nimported_module=x.lst",
       "evil\\r\\nimported_module=x.dll"},
      {"ESC", "\x1b[2Jevil.dll", "\x1b[2Jevil.lst", "\\x1b[2Jevil.dll"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folder dir;
    std::string lists = dir / "lists";
    fs::create_directories(lists + "/sub");
    fs::copy_file(kLists + "/kernel32.lst", lists + "/kernel32.lst");
    // The planted file defines one function; today's reader followed the name to it.
    std::ofstream(lists + "/" + c.planted, std::ios::binary) << "api=Evil,,,,,,,,,x\r\n";
    WriteBytes(dir / "prog.exe", BuildPe({{"KERNEL32.dll", {"ReadFile"}}, {c.dll, {"Evil"}}}));
    qel::HookListRequest request;
    request.program = dir / "prog.exe";
    request.listsDirs = {lists};
    qel::HookList list;
    qel::Status made = qel::MakeHookList(request, &list);
    ASSERT_TRUE(made.ok()) << made.message();
    EXPECT_EQ(list.text.find("Evil"), std::string::npos) << list.text;
    EXPECT_EQ(list.text.find("evil"), std::string::npos) << list.text;
    const std::string note =
        "left out " + c.shown + " (imported by prog.exe): not a plain file name";
    ASSERT_EQ(list.notes.size(), 1u);
    EXPECT_EQ(list.notes[0], note);
    EXPECT_EQ(list.leftOut, 1u);
    ToolRun run = RunTool({"--lists", lists, "-o", dir / "out.lst", dir / "prog.exe"}, dir.path());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("qelvorn-lst: " + note + "\n"), std::string::npos) << run.err;
    EXPECT_TRUE(OnlyPrintable(run.err)) << run.err;
    EXPECT_EQ(ReadAll(dir / "out.lst"), list.text);
  }
}

TEST(QelvornLstHostile, ControlCharactersInNamesAreEscapedOnStandardError) {
  struct Case {
    const char* what;
    std::string function;
    std::string shown;
  } const cases[] = {
      {"ESC",
       "Read\x1b]0;owned\x07"
       "File",
       "Read\\x1b]0;owned\\x07File"},
      {"CR LF", "Read\r\nqelvorn-lst: forged", "Read\\r\\nqelvorn-lst: forged"},
      {"NUL-free C0 and DEL", std::string("A\x01\x08\x7f", 4), "A\\x01\\x08\\x7f"},
      {"a C1 control",
       "Read\x9b"
       "2JFile",
       "Read\\x9b2JFile"},
      {"a backslash", "Read\\x1bFile", "Read\\\\x1bFile"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folder dir;
    WriteBytes(dir / "prog.exe",
               BuildPe({{"KERNEL32.dll", {"ReadFile", c.function}}, {"nodefs\x1b[1m.dll", {"F"}}}));
    ToolRun run = RunTool({"--lists", kLists, "-o", dir / "out.lst", dir / "prog.exe"}, dir.path());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(OnlyPrintable(run.err)) << run.err;
    EXPECT_NE(run.err.find("qelvorn-lst: left out KERNEL32.dll " + c.shown + ": no definition\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("qelvorn-lst: left out nodefs\\x1b[1m.dll (imported by prog.exe): "
                           "not a plain file name\n"),
              std::string::npos)
        << run.err;
  }
}

TEST(QelvornLstHostile, EscapingTable) {
  struct Row {
    std::string in, name, path;
  } const rows[] = {
      {"plain.dll", "plain.dll", "plain.dll"},
      {"a\\b", "a\\\\b", "a\\b"},
      {"\r\n\t", "\\r\\n\\t", "\\r\\n\\t"},
      {std::string("\x00\x1b\x7f", 3), "\\x00\\x1b\\x7f", "\\x00\\x1b\\x7f"},
      {"\xc2\x9b", "\\xc2\\x9b", "\\xc2\\x9b"},
      {"\xe6\x97\xa5", "\\xe6\\x97\\xa5", "\xe6\x97\xa5"},
      // A lone C1 byte, a cut sequence and an overlong form are no UTF-8 a terminal may show.
      {"a\x9b"
       "1m",
       "a\\x9b1m", "a\\x9b1m"},
      {"\xe6\x97", "\\xe6\\x97", "\\xe6\\x97"},
      {"\xc0\xbb", "\\xc0\\xbb", "\\xc0\\xbb"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(qel::EscapeName(r.in), r.name);
    EXPECT_EQ(qel::EscapePath(r.in), r.path);
  }
}

// Reads the list that the tool writes for prog.exe with these options.
std::string ListWith(const Folder& dir, std::vector<std::string> options, std::string* err) {
  options.insert(options.begin(), {"--lists", kLists, "-o", dir / "out.lst"});
  options.push_back(dir / "prog.exe");
  fs::remove(dir / "out.lst");
  ToolRun run = RunTool(options, dir.path());
  *err = run.err;
  return run.exitCode == 0 ? ReadAll(dir / "out.lst") : "exit " + std::to_string(run.exitCode);
}

TEST(QelvornLstOrdinals, NamesComeFromTheDllFoundInTheDllDirs) {
  Folder dir;
  fs::create_directories(dir / "app");
  fs::create_directories(dir / "empty");
  fs::create_directories(dir / "system");
  WriteBytes(dir / "prog.exe",
             BuildPe({{"KERNEL32.dll", {"ReadFile"}}, {"OLEAUT32.dll", {"#2", "#6", "#7"}}}));
  // The system DLL as a folder of them holds it: any case.
  WriteBytes(dir / "system/oleaut32.DLL", BuildPe({{"KERNEL32.dll", {"ReadFile"}}}, false,
                                                  {{2, "SysAllocString"}, {6, "SysFreeString"}}));
  const std::string named =
      "imported_module=OLEAUT32.dll\r\n"
      "api=SysAllocString,2,,,,,,,,w\r\n"
      "api=SysFreeString,6,,,,,,,,p\r\n";
  std::string err;
  std::string list = ListWith(dir, {}, &err);
  EXPECT_EQ(list.find("OLEAUT32"), std::string::npos) << list;
  EXPECT_NE(err.find("left out OLEAUT32.dll ordinal 2: no name for it (the DLL's file was not "
                     "found in the --dll-dir folders, beside the modules)"),
            std::string::npos)
      << err;
  // Repeatable, searched in order: an empty folder first does not hide the second.
  list = ListWith(dir, {"--dll-dir", dir / "empty", "--dll-dir", dir / "system"}, &err);
  EXPECT_NE(list.find(named), std::string::npos) << list << err;
  EXPECT_NE(err.find("left out OLEAUT32.dll ordinal 7: no name for it (" + (dir / "system") +
                     "/oleaut32.DLL exports no name for it)"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("ordinal 2"), std::string::npos) << err;
  // --dll-dir goes before the program's folder.
  WriteBytes(dir / "OLEAUT32.dll",
             BuildPe({{"KERNEL32.dll", {"ReadFile"}}}, false, {{2, "SysReAllocString"}}));
  list = ListWith(dir, {"--dll-dir", dir / "system"}, &err);
  EXPECT_NE(list.find(named), std::string::npos) << list << err;
  list = ListWith(dir, {}, &err);
  EXPECT_NE(list.find("api=SysReAllocString,2,"), std::string::npos) << list << err;
  // A DLL file that is not a PE names its reason.
  WriteBytes(dir / "OLEAUT32.dll", {'M', 'Z'});
  list = ListWith(dir, {}, &err);
  EXPECT_NE(err.find("ordinal 2: no name for it (" + (dir / "OLEAUT32.dll") + ": not a PE file"),
            std::string::npos)
      << err;
}

TEST(QelvornLstOrdinals, LeftOutCountsEveryImportOfALeftOutDll) {
  Folder dir;
  WriteBytes(dir / "prog.exe", BuildPe({{"KERNEL32.dll", {"ReadFile", "NoSuchFunction"}},
                                        {"ntdll.dll", {"RtlFreeHeap", "RtlAllocateHeap"}},
                                        {"OLEAUT32.dll", {"#2"}}}));
  qel::HookListRequest request;
  request.program = dir / "prog.exe";
  request.listsDirs = {kLists};
  qel::HookList list;
  qel::Status made = qel::MakeHookList(request, &list);
  ASSERT_TRUE(made.ok()) << made.message();
  EXPECT_EQ(list.notes.size(), 3u);
  EXPECT_EQ(list.leftOut, 4u);
}

TEST(QelvornLstFromBytes, MakesTheSameListAsFromTheFile) {
  Folder dir;
  std::vector<uint8_t> image = BuildPe({{"KERNEL32.dll", {"ReadFile", "WriteFile"}}});
  WriteBytes(dir / "prog.exe", image);
  qel::HookListRequest request;
  request.program = dir / "prog.exe";
  request.listsDirs = {kLists};
  qel::HookList fromFile, fromBytes;
  qel::Status made = qel::MakeHookList(request, &fromFile);
  ASSERT_TRUE(made.ok()) << made.message();
  fs::remove(dir / "prog.exe");
  qel::Status fromBytesMade =
      qel::MakeHookListFromBytes(request, image.data(), image.size(), &fromBytes);
  ASSERT_TRUE(fromBytesMade.ok()) << fromBytesMade.message();
  EXPECT_EQ(fromBytes.text, fromFile.text);
  qel::Status refused = qel::MakeHookListFromBytes(request, nullptr, 0, &fromBytes);
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(refused.message().find("not a PE file"), std::string::npos) << refused.message();
}

}  // namespace
