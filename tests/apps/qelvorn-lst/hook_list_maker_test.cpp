// The hook-list library and qelvorn-lst: bad input, the written list, patterns, the limit,
// well-known generated lines, and coverage of what Wine's own programs import.
#include "common/hook_list_maker.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "common/pe_image.h"
#include "pe_builder.h"
#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;
using qeltest::BuildPe;
using qeltest::WriteBytes;

const std::string kLists = QEL_SOURCE_LISTS_DIR;

using Folder = qeltest::TempFolder;

qel::HookListRequest RequestFor(const std::string& program) {
  qel::HookListRequest request;
  request.program = program;
  request.listsDirs = {kLists};
  return request;
}

std::string ToolPath() {
  return fs::read_symlink("/proc/self/exe").parent_path() / "qelvorn-lst";
}

int RunTool(const std::string& args) {
  int status = std::system((ToolPath() + " " + args + " 2>/dev/null >/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct BadCase {
  const char* what;
  std::vector<uint8_t> bytes;
  const char* extraArgs;
  const char* message;
};

TEST(QelvornLst, BadInputGivesAMessageAnExitCodeAndNoFile) {
  std::vector<uint8_t> truncated = BuildPe({{"KERNEL32.dll", {"CreateFileW", "ReadFile"}}});
  truncated.resize(truncated.size() - 12);  // cuts into the names of the import table
  const std::string text = "just some text, no MZ header";
  std::vector<uint8_t> arm64 = BuildPe({{"KERNEL32.dll", {"ReadFile"}}}, true);
  qeltest::Put16(arm64, qeltest::kMachineAt, 0xaa64);
  const BadCase cases[] = {
      {"a text file", std::vector<uint8_t>(text.begin(), text.end()), "", "not a PE file"},
      {"an empty file", {}, "", "not a PE file"},
      {"an ARM64 image", arm64, "", "not a 32-bit i386 or a 64-bit x86-64 PE image"},
      {"a truncated import table", truncated, "", "lies outside the file"},
      {"no imports", BuildPe({}), "", "imports no functions"},
      {"an unknown DLL to keep", BuildPe({{"KERNEL32.dll", {"ReadFile"}}}), "--keep-dll nosuch.dll",
       "unknown DLL nosuch.dll"},
      {"a missing module", BuildPe({{"KERNEL32.dll", {"ReadFile"}}}), "", "cannot open"},
      {"only DLLs without definitions", BuildPe({{"ntdll.dll", {"RtlFreeHeap"}}}), "",
       "nothing to trace"},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.what);
    Folder dir;
    WriteBytes(dir / "prog.exe", c.bytes);
    qel::HookListRequest request = RequestFor(dir / "prog.exe");
    std::string args = c.extraArgs;
    if (std::string(c.what) == "a missing module") {
      request.modules.push_back(dir / "missing.dll");
      args = dir / "missing.dll";
    }
    if (!args.empty() && args.compare(0, 11, "--keep-dll ") == 0)
      request.keepDlls = qel::ParseNamePatterns(args.substr(11));
    qel::HookList list;
    qel::Status made = qel::MakeHookList(request, &list);
    EXPECT_FALSE(made.ok()) << made.message();
    EXPECT_NE(made.message().find(c.message), std::string::npos) << made.message();
    EXPECT_TRUE(list.text.empty());
    std::string out = dir / "Qelvorn.lst";
    std::string command =
        "--lists " + kLists + " -o " + out + " " + args + " " + (dir / "prog.exe");
    if (std::string(c.what) == "a missing module") {
      command = "--lists " + kLists + " -o " + out + " " + (dir / "prog.exe") + " " + args;
    }
    EXPECT_EQ(RunTool(command), 1);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(out + ".tmp"));
  }
}

TEST(QelvornLst, UsageErrorsAndHelp) {
  EXPECT_EQ(RunTool("--help"), 0);
  EXPECT_EQ(RunTool(""), 2);
  EXPECT_EQ(RunTool("--frobnicate x.exe"), 2);
  EXPECT_EQ(RunTool("x.exe -o"), 2);
}

TEST(QelvornLst, WritesExactlyTheImportedFunctionsWithCrLf) {
  Folder dir;
  WriteBytes(dir / "prog.exe",
             BuildPe({{"KERNEL32.dll", {"CreateFileW", "ReadFile", "CreateFileW", "NoSuchFn"}},
                      {"ntdll.dll", {"RtlFreeHeap"}},
                      {"WS2_32.dll", {"send", "#16"}},
                      {"own.dll", {"OwnFunction"}}}));
  WriteBytes(dir / "own.dll", BuildPe({{"user32.dll", {"MessageBoxW"}}}));
  qel::HookList list;
  qel::Status made = qel::MakeHookList(RequestFor(dir / "prog.exe"), &list);
  ASSERT_TRUE(made.ok()) << made.message();
  EXPECT_EQ(list.text,
            "// Qelvorn.lst for prog.exe, written by qelvorn-lst from its import tables\r\n"
            "[Imported]\r\n"
            "imported_module=KERNEL32.dll\r\n"
            "api=CreateFileW,,,,,,,,,w,4,4,p,4,4,x\r\n"
            "api=ReadFile,,,,,,,,,x,p,d,p,p\r\n"
            "imported_module=WS2_32.dll\r\n"
            "api=send,,,,ws,ws,,,,x,p,d,4\r\n"
            "imported_module=user32.dll\r\n"
            "api=MessageBoxW,,,,,,,,,x,w,w,4\r\n"
            "[Import]\r\n"
            "import_module=prog.exe\r\n"
            "dll=KERNEL32.dll\r\n"
            "dll=WS2_32.dll\r\n"
            "import_module=own.dll\r\n"
            "dll=user32.dll\r\n");
  EXPECT_EQ(list.functions, 4u);
  std::string notes;
  for (const std::string& n : list.notes) notes += n + "\n";
  EXPECT_NE(notes.find("ntdll.dll (imported by prog.exe): no definitions"), std::string::npos);
  EXPECT_NE(notes.find("KERNEL32.dll NoSuchFn: no definition"), std::string::npos);
  EXPECT_NE(notes.find("WS2_32.dll ordinal 16: no name"), std::string::npos) << notes;
}

TEST(QelvornLst, KeepAndDropPatterns) {
  Folder dir;
  WriteBytes(dir / "prog.exe",
             BuildPe({{"KERNEL32.dll", {"CreateFileW", "ReadFile", "HeapAlloc", "HeapFree"}},
                      {"USER32.dll", {"MessageBoxW"}}}));
  struct Case {
    const char *keepDll, *dropDll, *keep, *drop;
    std::set<std::string> names;
  } cases[] = {
      {"", "", "", "Heap*", {"CreateFileW", "ReadFile", "MessageBoxW"}},
      {"", "", "*file*", "", {"CreateFileW", "ReadFile"}},
      {"kernel32.dll", "", "", "", {"CreateFileW", "ReadFile", "HeapAlloc", "HeapFree"}},
      {"", "KERNEL*", "", "", {"MessageBoxW"}},
      {"*", "", "Heap*,Message*", "HeapFree", {"HeapAlloc", "MessageBoxW"}},
  };
  for (const Case& c : cases) {
    qel::HookListRequest request = RequestFor(dir / "prog.exe");
    request.keepDlls = qel::ParseNamePatterns(c.keepDll);
    request.dropDlls = qel::ParseNamePatterns(c.dropDll);
    request.keepFunctions = qel::ParseNamePatterns(c.keep);
    request.dropFunctions = qel::ParseNamePatterns(c.drop);
    qel::HookList list;
    qel::Status made = qel::MakeHookList(request, &list);
    ASSERT_TRUE(made.ok()) << made.message();
    std::set<std::string> names;
    std::istringstream lines(list.text);
    for (std::string line; std::getline(lines, line);)
      if (line.compare(0, 4, "api=") == 0) names.insert(line.substr(4, line.find(',') - 4));
    EXPECT_EQ(names, c.names) << c.keepDll << "|" << c.dropDll << "|" << c.keep << "|" << c.drop;
  }
}

// Every api= name of a definitions file.
std::vector<std::string> DefinedNames(const std::string& dll) {
  std::vector<std::string> names;
  std::ifstream in(kLists + "/" + dll + ".lst");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 4, "api=") == 0) names.push_back(line.substr(4, line.find(',') - 4));
  return names;
}

TEST(QelvornLst, NeverMoreThanTheHookEntries) {
  std::vector<std::string> names = DefinedNames("kernel32");
  ASSERT_GT(names.size(), qel::kMaxHookEntries + 50);
  names.resize(qel::kMaxHookEntries + 50);
  Folder dir;
  WriteBytes(dir / "prog.exe", BuildPe({{"KERNEL32.dll", names}}));
  qel::HookList list;
  qel::Status made = qel::MakeHookList(RequestFor(dir / "prog.exe"), &list);
  ASSERT_TRUE(made.ok()) << made.message();
  EXPECT_EQ(list.functions, qel::kMaxHookEntries);
  size_t apiLines = 0, taken = 0;
  for (size_t at = 0; (at = list.text.find("\napi=", at)) != std::string::npos; ++at) ++apiLines;
  for (const std::string& n : list.notes) taken += n.find("are taken") != std::string::npos;
  EXPECT_EQ(apiLines, qel::kMaxHookEntries);
  EXPECT_EQ(taken, 50u);
}

TEST(QelvornLst, ProgramWritesTheSameTextToAFile) {
  Folder dir;
  WriteBytes(dir / "prog.exe", BuildPe({{"KERNEL32.dll", {"ReadFile", "WriteFile"}}}));
  ASSERT_EQ(RunTool("--lists " + kLists + " -o " + (dir / "out.lst") + " " + (dir / "prog.exe")),
            0);
  std::ifstream in(dir / "out.lst", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  qel::HookList list;
  qel::Status made = qel::MakeHookList(RequestFor(dir / "prog.exe"), &list);
  ASSERT_TRUE(made.ok()) << made.message();
  EXPECT_EQ(text, list.text);
}

}  // namespace
