// Programs that Wine ships, run alone and through the launcher: standard output, exit
// code and standard error (without the launcher's lines) are the same.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "fixture.h"
#include "support/process_run.h"

namespace {

using namespace qeltest;

struct SameCase {
  const char* name;
  const char* program;  // in the system folder
  const char* arguments;
};

// Successful and failing runs of programs nobody here wrote.
const SameCase kSameCases[] = {
    {"find_match", "find", "alpha input.txt"},
    {"find_no_match", "find", "zzz input.txt"},
    {"find_missing_file", "find", "alpha nosuch.txt"},
    {"find_bad_option", "find", "/Q alpha input.txt"},
    {"xcopy_missing_source", "xcopy", "nosuch\\*.txt out\\"},
    {"reg_missing_key", "reg", "query HKCU\\Software\\QelrunNoSuchKey"},
    {"reg_bad_option", "reg", "/zzz"},
    {"cmd_exit_code", "cmd", "/c \"echo hello& echo oops 1>&2& exit /b 3\""},
};

TEST(QelrunSameAsAlone, OutputErrorAndExitCodeMatch) {
  for (const SameCase& c : kSameCases) {
    SCOPED_TRACE(c.name);
    std::wstring dir = WorkDir(c.name);
    WriteSettings(dir, std::string(c.program) + ".exe");
    std::wstring tail = Wide(c.program) + L" " + Wide(c.arguments);
    Captured alone = RunCaptured(System32() + Wide(c.program) + L".exe", tail, dir);
    Captured traced = RunCaptured(L"", Launcher(dir) + tail, dir);
    ASSERT_TRUE(alone.started);
    ASSERT_TRUE(traced.started);
    EXPECT_EQ(traced.exitCode, alone.exitCode);
    EXPECT_EQ(traced.out, alone.out);
    EXPECT_EQ(WithoutLauncherLines(traced.err), alone.err);
    EXPECT_NE(traced.err.find("qelrun: tracing " + std::string(c.program) + ".exe into "),
              std::string::npos)
        << traced.err;
    EXPECT_FALSE(ReadLog(dir).empty());
  }
}

}  // namespace
