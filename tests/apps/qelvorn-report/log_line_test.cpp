// Line parsing, series names and ring order, cp932 text, error names, and pairing rules
// that the fixture logs do not reach (midnight, lost lines).
#include <gtest/gtest.h>

#include <sstream>

#include "common/text_encoding.h"
#include "common/win32_errors.h"
#include "log_line.h"
#include "log_series.h"
#include "report_model.h"
#include "text_summary.h"

namespace {

using qel::report::LineKind;
using qel::report::ParsedLine;
using qel::report::ParseLine;
using qel::report::Section;

struct LineCase {
  const char* line;
  Section section;
  LineKind kind;
};

TEST(LogLine, KindsByColumnRules) {
  const LineCase cases[] = {
      {"2026/12/10 01:39:37", Section::kNone, LineKind::kDate},
      {"2026/12/10 01:39:3", Section::kNone, LineKind::kText},
      {"", Section::kNone, LineKind::kEmpty},
      {"[Loaded Modules]", Section::kNone, LineKind::kTitle},
      {"7b600000 - 7b756000,  [00156000(    1,400,832)], 2026/12/09 23:50:14, C:\\k.dll",
       Section::kLoadedModules, LineKind::kModule},
      {"KERNEL32.dll, CloseHandle", Section::kApiListing, LineKind::kListing},
      {"KERNEL32.dll, CloseHandle", Section::kNone, LineKind::kText},
      {"new thread : (  2) 00000104", Section::kNone, LineKind::kNewThread},
      {"new thread : (  2) 0000010", Section::kNone, LineKind::kBroken},
      {"01:39:37:321,   2, 004015c0,         ,         , Sleep <demo_host.exe>, , 10",
       Section::kNone, LineKind::kCall},
      {"01:39:37:321,   2, 004015c0, 00000000,         , Sleep <demo_host.exe>, , 10",
       Section::kNone, LineKind::kBroken},
      {"01:39:37:321,   2, 0040XXc0,         ,         , Sleep, , 10", Section::kNone,
       LineKind::kBroken},
      {"01:39:37:321,2, 004015c0,         ,         , Sleep, , 10", Section::kNone,
       LineKind::kBroken},
      {"CleanUp OK", Section::kNone, LineKind::kCleanUp},
      {"[demo] work done", Section::kNone, LineKind::kText},
  };
  for (const LineCase& c : cases) {
    EXPECT_EQ(static_cast<int>(ParseLine(c.line, c.section).kind), static_cast<int>(c.kind))
        << c.line;
  }
}

TEST(LogLine, CallColumns) {
  ParsedLine post = ParseLine(
      "23:59:59:999, 1234, 0040833b, ffffffff, 00000003, CreateFileA <demo_host.exe>, , "
      "\"a, b\", 80000000",
      Section::kNone);
  ASSERT_EQ(post.kind, LineKind::kCall);
  EXPECT_TRUE(post.post);
  EXPECT_EQ(post.msOfDay, 86399999);
  EXPECT_EQ(post.thread, 1234);
  EXPECT_EQ(post.returnAddress, 0x0040833bu);
  EXPECT_EQ(post.result, 0xffffffffu);
  EXPECT_EQ(post.lastError, 3u);
  EXPECT_EQ(post.api, "CreateFileA");
  EXPECT_EQ(post.caller, "demo_host.exe");
  // No module part, no arguments.
  ParsedLine pre =
      ParseLine("00:00:00:000,   7, 10000000,         ,         , GetTickCount, ", Section::kNone);
  ASSERT_EQ(pre.kind, LineKind::kCall);
  EXPECT_FALSE(pre.post);
  EXPECT_EQ(pre.api, "GetTickCount");
  EXPECT_EQ(pre.caller, "");
}

TEST(LogSeries, Names) {
  qel::report::LogFile file;
  ASSERT_TRUE(qel::report::ParseSeriesName("$$$Viewer03$$$(412).txt", &file));
  EXPECT_EQ(file.program, "Viewer");
  EXPECT_EQ(file.slot, 3);
  EXPECT_EQ(file.pid, 412);
  ASSERT_TRUE(qel::report::ParseSeriesName("$$$a$b30$$$(1).TXT", &file));
  EXPECT_EQ(file.program, "a$b");
  const char* bad[] = {"$$$Viewer31$$$(412).txt", "$$$Viewer3$$$(412).txt", "Viewer03(412).txt",
                       "$$$Viewer03$$$(x).txt", "$$$Viewer03$$$(412).log"};
  for (const char* name : bad) EXPECT_FALSE(qel::report::ParseSeriesName(name, &file)) << name;
}

TEST(LogSeries, RingStartAfterWidestGap) {
  struct RingCase {
    std::vector<int> slots;
    std::vector<size_t> starts;
  };
  const RingCase cases[] = {
      {{0}, {0}}, {{0, 1, 2}, {0}}, {{0, 1, 2, 28, 29, 30}, {3}}, {{5, 6, 30}, {2}}, {{3, 7}, {0}},
  };
  for (const RingCase& c : cases) {
    EXPECT_EQ(qel::report::RingStartCandidates(c.slots), c.starts);
  }
  std::vector<int> full;
  for (int i = 0; i < 31; ++i) full.push_back(i);
  EXPECT_EQ(qel::report::RingStartCandidates(full).size(), 31u);
}

TEST(TextEncoding, Cp932ToUtf8) {
  EXPECT_EQ(qel::Cp932ToUtf8("plain"), "plain");
  EXPECT_EQ(qel::Cp932ToUtf8("\x83\x74\x83\x40\x83\x43\x83\x8b"), "ファイル");
  EXPECT_EQ(qel::Cp932ToUtf8("(\x81\xa1"
                             "bad pointer\x81\xa1)"),
            "(■bad pointer■)");
  EXPECT_EQ(qel::Cp932ToUtf8("\xb1"), "ｱ");
  // A lead byte at the end has no character: it becomes the replacement character.
  EXPECT_EQ(qel::Cp932ToUtf8("a\x83"), "a\xEF\xBF\xBD");
}

TEST(Win32Errors, NamesFromTheToolchainHeader) {
  EXPECT_STREQ(qel::Win32ErrorName(0), "ERROR_SUCCESS");
  EXPECT_STREQ(qel::Win32ErrorName(2), "ERROR_FILE_NOT_FOUND");
  EXPECT_STREQ(qel::Win32ErrorName(6), "ERROR_INVALID_HANDLE");
  EXPECT_STREQ(qel::Win32ErrorName(10035), "WSAEWOULDBLOCK");
  EXPECT_EQ(qel::Win32ErrorName(0x7fffffff), nullptr);
  EXPECT_GT(qel::kWin32ErrorCount, 1000u);
}

// Feeds lines to a builder and returns the report.
qel::report::Report Build(const std::vector<std::string>& lines,
                          const qel::report::ReportOptions& options = {}) {
  static qel::report::ReportBuilder* keep = nullptr;
  delete keep;
  keep = new qel::report::ReportBuilder(options);
  keep->BeginFile("t.txt");
  for (const std::string& line : lines) keep->AddLine(line, true);
  return keep->Finish();
}

TEST(ReportModel, DurationAcrossMidnight) {
  qel::report::Report report = Build({
      "2026/12/10 23:59:58",
      "23:59:59:990,   1, 00401000,         ,         , Sleep <a.exe>, , 20",
      "00:00:00:010,   1, 00401000, 00000000, 00000000, Sleep <a.exe>, , 20",
  });
  ASSERT_EQ(report.slowest.size(), 1u);
  EXPECT_EQ(report.slowest[0].ms, 20);
  EXPECT_EQ(qel::report::FormatTime(report.threads.at(1).last), "00:00:00:010 +1d");
  EXPECT_EQ(qel::report::FormatDate(report.setUpDay, report.setUpMs), "2026/12/10 23:59:58");
}

TEST(ReportModel, NestedPairsInnermostFirstAndLostLinesAreShown) {
  qel::report::Report report = Build({
      "10:00:00:000,   1, 00401000,         ,         , Outer <a.exe>, , ",
      "10:00:00:001,   1, 00402000,         ,         , Inner <a.exe>, , ",
      "10:00:00:005,   1, 00402000, 00000001, 00000000, Inner <a.exe>, , ",
      "10:00:00:006,   1, 00403000,         ,         , Lost <a.exe>, , ",
      "10:00:00:010,   1, 00401000, 00000001, 00000000, Outer <a.exe>, , ",
      "10:00:00:011,   2, 00401000, 00000001, 00000000, Outer <a.exe>, , ",
  });
  ASSERT_EQ(report.slowest.size(), 2u);
  EXPECT_EQ(report.slowest[0].ms, 10);
  EXPECT_EQ(report.slowest[1].ms, 4);
  EXPECT_EQ(report.unparsed, 2u);
  EXPECT_EQ(report.unparsedSamples[0].reason,
            "pre line without its post line inside a call that returned");
  EXPECT_EQ(report.unparsedSamples[1].reason, "post line without its pre line");
  EXPECT_EQ(report.threads.at(1).depth, 0u);
}

TEST(ReportModel, ErrorsSetCountsOnlyNewLastErrors) {
  qel::report::Report report = Build({
      "10:00:00:000,   1, 00401000,         ,         , F, , ",
      "10:00:00:000,   1, 00401000, ffffffff, 00000003, F, , ",
      "10:00:00:000,   1, 00401000,         ,         , G, , ",
      "10:00:00:000,   1, 00401000, 00000000, 00000003, G, , ",
  });
  EXPECT_EQ(report.functions[0].errorsSet, 1u);
  EXPECT_EQ(report.functions[1].errorsSet, 0u);
}

}  // namespace
