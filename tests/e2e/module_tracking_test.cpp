// Run-time module events under tracing, end to end: a host program loads, resolves and
// frees real DLLs while traced, and its log and its own findings are checked.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/host_run.h"

namespace {

const char kHookList[] =
    "[Imported]\r\n"
    "imported_module=KERNEL32.dll\r\n"
    "api=LoadLibraryA,,,,,1,,,,s\r\n"
    "api=LoadLibraryW,,,,,1,,,,w\r\n"
    "api=LoadLibraryExA,,,,,1,,,,s,x,4\r\n"
    "api=LoadLibraryExW,,,,,1,,,,w,x,4\r\n"
    "api=GetProcAddress,,,1,1,1,,,,x,S\r\n"
    "api=FreeLibrary,,,,1,1,,,,x\r\n"
    "api=Sleep,,,,,,,,,d\r\n"
    "imported_module=track_target.dll\r\n"
    "api=TargetAdd,5,1,,,,,,,d,d\r\n"
    "api=TargetMissing,,,,,,,,,\r\n"
    "[Import]\r\n"
    "import_module=track_host.exe\r\n"
    "dll=KERNEL32.dll\r\n"
    "import_module=track_lib.dll\r\n"
    "dll=KERNEL32.dll\r\n"
    "dll=track_target.dll\r\n"
    "import_module=late_lib.dll\r\n"
    "dll=KERNEL32.dll\r\n"
    "dll=track_target.dll\r\n";

qeltest::HostRun RunScenario(const std::string& scenario) {
  return qeltest::RunHost("track_host.exe", scenario, kHookList);
}

using qeltest::Address;
using qeltest::kAnyAddress;
using qeltest::kAnyWord;
using qeltest::Post;
using qeltest::Pre;

// One LoadLibrary* of the not yet patched track_lib.dll, the call of its work function
// and its final free: the module is patched before the load's post line and forgotten
// again ("(uh)") by the free.
std::vector<std::string> LoadCycle(const std::string& load, const std::string& argument,
                                   const std::string& moduleName = "track_lib.dll") {
  const std::string host = " <track_host\\.exe>";
  return {
      Pre(load + host, ", " + argument),
      moduleName + ", KERNEL32\\.dll, [1-9][0-9]*",
      moduleName + ", track_target\\.dll, 1",
      Post(kAnyAddress, load + host, ", " + argument),
      Pre("GetProcAddress" + host, "\\(not target\\), " + kAnyAddress + ", \"LibWork\""),
      Post(kAnyAddress, "GetProcAddress" + host, ", " + kAnyAddress + ", \"LibWork\""),
      Pre("Sleep", ", 0"),
      Post(Address(0), "Sleep", ", 0"),
      Pre("TargetAdd", ", 40, 2"),
      Address(0x2a) + ", 0000004d, TargetAdd, , 40, 2",
  };
}

std::vector<std::string> FinalFree(const std::string& remark) {
  const std::string host = " <track_host\\.exe>";
  return {Pre("FreeLibrary" + host, ", " + kAnyAddress),
          Post(Address(1), "FreeLibrary" + host, remark + ", " + kAnyAddress)};
}

void Append(std::vector<std::string>& to, const std::vector<std::string>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

}  // namespace

TEST(ModuleTracking, ListedModuleIsPatchedOnEveryFormOfLoad) {
  qeltest::HostRun run = RunScenario("load");
  ASSERT_EQ(0, run.exitCode) << "the host's report:\n" << run.report;
  EXPECT_EQ("setup 0\nA 42\nW 42\nExA 42\nExW 42\ncleanup 0\n", run.report);
  const std::string host = " <track_host\\.exe>";
  std::vector<std::string> expected;
  Append(expected, LoadCycle("LoadLibraryA", "\"track_lib\\.dll\""));
  Append(expected, FinalFree("\\(deleted:track_lib\\.dll\\(uh\\)\\)"));
  Append(expected, LoadCycle("LoadLibraryW", "\"track_lib\\.dll\""));
  Append(expected, FinalFree("\\(deleted:track_lib\\.dll\\(uh\\)\\)"));
  Append(expected, LoadCycle("LoadLibraryExA", "\"track_lib\\.dll\", \\(null\\), 00000000"));
  Append(expected, FinalFree("\\(deleted:track_lib\\.dll\\(uh\\)\\)"));
  Append(expected, LoadCycle("LoadLibraryExW", "\"track_lib\\.dll\", \\(null\\), 00000000"));
  // A second load only raises the count: not patched again, no remark; its free neither.
  Append(expected, {Pre("LoadLibraryA" + host, ", \"track_lib\\.dll\""),
                    Post(kAnyAddress, "LoadLibraryA" + host, ", \"track_lib\\.dll\"")});
  Append(expected, FinalFree(""));
  Append(expected, FinalFree("\\(deleted:track_lib\\.dll\\(uh\\)\\)"));
  qeltest::ExpectLines(expected, run.calls);
}

TEST(ModuleTracking, FullPathsMatchOnlyByBaseNameForNarrowImportedModules) {
  qeltest::HostRun run = RunScenario("paths");
  ASSERT_EQ(0, run.exitCode) << "the host's report:\n" << run.report;
  EXPECT_EQ("setup 0\nlib 42\ncleanup 0\n", run.report);
  const std::string host = " <track_host\\.exe>";
  const std::string anyPath = "\"[^\"]*\\\\";
  std::vector<std::string> expected = {
      // The wide form compares the whole converted name: neither table matches.
      Pre("LoadLibraryW" + host, ", " + anyPath + "track_target\\.dll\""),
      Post(kAnyAddress, "LoadLibraryW" + host, ", " + anyPath + "track_target\\.dll\""),
      // A full path of a listed importing module does not patch it.
      Pre("LoadLibraryA" + host, ", " + anyPath + "track_lib\\.dll\""),
      Post(kAnyAddress, "LoadLibraryA" + host, ", " + anyPath + "track_lib\\.dll\""),
      Pre("GetProcAddress" + host, "\\(not target\\), " + kAnyAddress + ", \"LibWork\""),
      Post(kAnyAddress, "GetProcAddress" + host, ", " + kAnyAddress + ", \"LibWork\""),
  };
  Append(expected, FinalFree(""));
  // The narrow form finds the imported module by its base name.
  Append(expected, {Pre("LoadLibraryA" + host, ", " + anyPath + "track_target\\.dll\""),
                    Post(kAnyAddress, "LoadLibraryA" + host,
                         "\\(handle set\\), " + anyPath + "track_target\\.dll\"")});
  Append(expected, FinalFree(""));
  Append(expected, FinalFree("\\(deleted:track_target\\.dll\\)"));
  qeltest::ExpectLines(expected, run.calls);
}

TEST(ModuleTracking, FetchedTracedFunctionsGoThroughTheirEntries) {
  qeltest::HostRun run = RunScenario("fetch");
  ASSERT_EQ(0, run.exitCode) << "the host's report:\n" << run.report;
  EXPECT_EQ(
      "setup 0\nadd 7\nsame 1\nother module same 0\nother 99 ordinal same 1\nmissing null 1\n"
      "after free 0 error 127\nagain same 1 add 11\ncleanup 0\n",
      run.report);
  const std::string host = " <track_host\\.exe>";
  auto fetch = [&](const std::string& remark, const std::string& name,
                   const std::string& result) -> std::vector<std::string> {
    return {Pre("GetProcAddress" + host, remark + ", " + kAnyAddress + ", " + name),
            Post(result, "GetProcAddress" + host, ", " + kAnyAddress + ", " + name)};
  };
  std::vector<std::string> expected = {
      Pre("LoadLibraryA" + host, ", \"track_target\\.dll\""),
      Post(kAnyAddress, "LoadLibraryA" + host, "\\(handle set\\), \"track_target\\.dll\""),
  };
  Append(expected, fetch("\\(set to target\\)", "\"TargetAdd\"", kAnyAddress));
  Append(expected, {Pre("TargetAdd" + host, ", 3, 4"),
                    Address(7) + ", 0000004d, TargetAdd" + host + ", , 3, 4"});
  Append(expected, fetch("\\(already target\\)", "\"TargetAdd\"", kAnyAddress));
  // A module that does not export the name gets the genuine answer, not the HookEntry.
  Append(expected, fetch("\\(not found\\)", "\"TargetAdd\"", Address(0)));
  Append(expected, fetch("\\(not target\\)", "\"TargetOther\"", kAnyAddress));
  Append(expected, fetch("\\(not proc string\\)", "\"" + Address(6) + "\"", kAnyAddress));
  Append(expected, fetch("\\(not found\\)", "\"TargetMissing\"", Address(0)));
  Append(expected, FinalFree("\\(deleted:track_target\\.dll\\)"));
  // Its module is gone: the entry answers 0 with ERROR_PROC_NOT_FOUND, never a jump to null.
  Append(expected, {Pre("TargetAdd" + host, ", 3, 4"),
                    Address(0) + ", 0000007f, TargetAdd" + host + ", , 3, 4"});
  Append(expected,
         {Pre("LoadLibraryA" + host, ", \"track_target\\.dll\""),
          Post(kAnyAddress, "LoadLibraryA" + host, "\\(handle set\\), \"track_target\\.dll\"")});
  Append(expected, fetch("\\(set to target\\)", "\"TargetAdd\"", kAnyAddress));
  Append(expected, {Pre("TargetAdd" + host, ", 5, 6"),
                    Address(0xb) + ", 0000004d, TargetAdd" + host + ", , 5, 6"});
  Append(expected, FinalFree("\\(deleted:track_target\\.dll\\)"));
  qeltest::ExpectLines(expected, run.calls);
}

TEST(ModuleTracking, AFailedLoadLeavesTheModuleToItsNextLoad) {
  qeltest::HostRun run = RunScenario("failed");
  ASSERT_EQ(0, run.exitCode) << "the host's report:\n" << run.report;
  EXPECT_EQ("setup 0\nfirst 1\nsecond 1 work 42\ncleanup 0\n", run.report);
  const std::string host = " <track_host\\.exe>";
  std::vector<std::string> expected = {
      Pre("LoadLibraryA" + host, ", \"late_lib\\.dll\""),
      Address(0) + ", " + kAnyWord + ", LoadLibraryA" + host + ", , \"late_lib\\.dll\"",
  };
  Append(expected, LoadCycle("LoadLibraryA", "\"late_lib\\.dll\"", "late_lib\\.dll"));
  Append(expected, FinalFree("\\(deleted:late_lib\\.dll\\(uh\\)\\)"));
  qeltest::ExpectLines(expected, run.calls);
}

TEST(ModuleTracking, LoadsAndFreesOnSeveralThreadsKeepEveryLineWhole) {
  qeltest::HostRun run = RunScenario("threads");
  ASSERT_EQ(0, run.exitCode) << "the host's report:\n" << run.report;
  EXPECT_EQ("setup 0\nthreads done\ncleanup 0\n", run.report);
  static const std::regex callLine(
      "^(" + qeltest::kBlankAddress + "|" + kAnyAddress +
      R"(), (        |[0-9a-f]{8}), (LoadLibraryA <track_host\.exe>|GetProcAddress <track_host\.exe>|FreeLibrary <track_host\.exe>|Sleep|TargetAdd|TargetAdd <track_host\.exe>), [^,]*, .*$)");
  static const std::regex listingLine(R"(^track_lib\.dll, (KERNEL32|track_target)\.dll, \d+$)");
  int calls = 0;
  for (const std::string& line : run.calls) {
    bool whole = std::regex_match(line, callLine) || std::regex_match(line, listingLine);
    EXPECT_TRUE(whole) << line;
    ++calls;
  }
  EXPECT_GT(calls, 4 * 15 * 8);
}
