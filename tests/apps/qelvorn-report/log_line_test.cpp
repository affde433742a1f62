// Line parsing, series names and ring order, cp932 text, error names, and pairing rules
// that the fixture logs do not reach (midnight, lost lines).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/text_encoding.h"
#include "common/win32_errors.h"
#include "log_line.h"
#include "log_series.h"
#include "report_model.h"
#include "shown_text.h"
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
      // The 64-bit DLL's columns: 16 digits for addresses and results, 8 for the last error.
      {"000000007b600000 - 000000007b795000,  [00195000(    1,658,880)], 2026/12/10 18:09:36, "
       "C:\\k.dll",
       Section::kLoadedModules, LineKind::kModule},
      {"000000007b600000 - 7b795000,  [00195000(    1,658,880)], 2026/12/10 18:09:36, C:\\k.dll",
       Section::kLoadedModules, LineKind::kText},
      {"00000007b600000 - 00000007b795000,  [00195000(    1,658,880)], 2026/12/10 18:09:36, "
       "C:\\k.dll",
       Section::kLoadedModules, LineKind::kText},
      {"17:48:54:707,   1, 00000001400019a1,                 ,         , LibSum6 <x64_host.exe>, , "
       "1",
       Section::kNone, LineKind::kCall},
      {"17:48:54:714,   1, 00000001400019a1, 6a86edf817601945, 00000000, LibSum6 <x64_host.exe>, , "
       "1",
       Section::kNone, LineKind::kCall},
      {"17:48:54:707,   1, 00000001400019a1,         ,         , LibSum6 <x64_host.exe>, , 1",
       Section::kNone, LineKind::kBroken},
      {"17:48:54:714,   1, 00000001400019a1, 6a86edf817601945, 0000000000000000, LibSum6, , 1",
       Section::kNone, LineKind::kBroken},
      {"17:48:54:714,   1, 0000001400019a1, 6a86edf817601945, 00000000, LibSum6, , 1",
       Section::kNone, LineKind::kBroken},
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
  EXPECT_EQ(pre.digits, 8);
}

TEST(LogLine, SixtyFourBitCallAndModuleColumns) {
  ParsedLine post = ParseLine(
      "17:48:54:714,   1, 00000001400019a1, ffffffffffffffff, 00000006, LibSum6 <x64_host.exe>, , "
      "1122334455667788",
      Section::kNone);
  ASSERT_EQ(post.kind, LineKind::kCall);
  EXPECT_TRUE(post.post);
  EXPECT_EQ(post.digits, 16);
  EXPECT_EQ(post.returnAddress, 0x00000001400019a1u);
  EXPECT_EQ(post.result, 0xffffffffffffffffu);
  EXPECT_EQ(post.lastError, 6u);
  EXPECT_EQ(post.api, "LibSum6");
  EXPECT_EQ(post.caller, "x64_host.exe");
  ParsedLine module = ParseLine(
      "0000000140000000 - 000000014003f000,  [0003f000(      258,048)], 2026/12/10 21:21:14, "
      "Z:\\tmp\\fixture_host.exe",
      Section::kLoadedModules);
  ASSERT_EQ(module.kind, LineKind::kModule);
  EXPECT_EQ(module.digits, 16);
  EXPECT_EQ(module.moduleBase, 0x140000000u);
  EXPECT_EQ(module.moduleEnd, 0x14003f000u);
  EXPECT_EQ(module.modulePath, "Z:\\tmp\\fixture_host.exe");
}

TEST(TextSummary, AddressesInTheLogsWidth) {
  struct HexCase {
    uint64_t value;
    int digits;
    const char* text;
  };
  const HexCase cases[] = {
      {0x68, 8, "00000068"},
      {0xffffffffu, 8, "ffffffff"},
      {0x68, 16, "0000000000000068"},
      {0xfffffffffffffffeu, 16, "fffffffffffffffe"},
      {0x00000001400019a1u, 16, "00000001400019a1"},
  };
  for (const HexCase& c : cases) EXPECT_EQ(qel::report::HexDigits(c.value, c.digits), c.text);
}

TEST(LogLine, LinesEndAtCrLfOnly) {
  struct EndCase {
    std::string_view bytes;
    size_t from;
    size_t end;
  };
  const size_t npos = std::string_view::npos;
  const EndCase cases[] = {
      {"a\r\n", 0, 1},    {"a\nb\r\n", 0, 3}, {"a\rb\r\n", 0, 3}, {"\r\r\n", 0, 1},
      {"a\n\r", 0, npos}, {"\n", 0, npos},    {"a\r\n", 1, 1},    {"a\r\n", 2, npos},
  };
  for (const EndCase& c : cases) {
    EXPECT_EQ(qel::report::FindLineEnd(c.bytes, c.from), c.end) << c.bytes.size() << " " << c.from;
  }
}

// What the reader makes of `bytes`: each line as "text|ended|cut", with the text cut to
// its first and last 8 bytes when longer.
std::vector<std::string> ReadLines(const std::string& bytes) {
  std::string path = (std::filesystem::temp_directory_path() / "qel-report-reader.txt").string();
  std::FILE* file = std::fopen(path.c_str(), "w+b");
  if (file == nullptr) return {"cannot write " + path};
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  qel::report::LineReader reader(file);
  qel::report::ReadLine line;
  std::vector<std::string> lines;
  while (reader.Next(&line)) {
    std::string text(line.text);
    if (text.size() > 16) {
      text = text.substr(0, 8) + "~" + std::to_string(text.size()) + "~" +
             text.substr(text.size() - 8);
    }
    lines.push_back(text + "|" + (line.ended ? "1" : "0") + "|" + std::to_string(line.cut));
  }
  std::fclose(file);
  std::remove(path.c_str());
  return lines;
}

TEST(LogSeries, ReaderSplitsAtCrLfAndCutsAtTheLimit) {
  constexpr size_t kLimit = qel::report::LineReader::kLineLimit;
  const std::string a(kLimit - 1, 'a');
  struct ReaderCase {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
  };
  const ReaderCase cases[] = {
      {"bare LF and CR stay in the text", "a\nb\rc\r\nd", {"a\nb\rc|1|0", "d|0|0"}},
      {"a CR before the CR LF", "\r\r\n\r\n", {"\r|1|0", "|1|0"}},
      {"a line of the limit", a + "b\r\nz\r\n", {"aaaaaaaa~1048576~aaaaaaab|1|0", "z|1|0"}},
      {"one byte over", a + "bc\r\nz\r\n", {"aaaaaaaa~1048576~aaaaaaab|1|1", "z|1|0"}},
      {"the CR at the limit", a + "b\r\nz", {"aaaaaaaa~1048576~aaaaaaab|1|0", "z|0|0"}},
      {"a CR LF split by a read",
       a + "b" + std::string(65535, 'c') + "\r\nz\r\n",
       {"aaaaaaaa~1048576~aaaaaaab|1|65535", "z|1|0"}},
      {"a bare CR at a read's end",
       a + "b" + std::string(65535, 'c') + "\rc\r\nz\r\n",
       {"aaaaaaaa~1048576~aaaaaaab|1|65537", "z|1|0"}},
      {"3 MiB with bare LFs",
       std::string(3 << 20, '\n') + "\r\nz\r\n",
       {"\n\n\n\n\n\n\n\n~1048576~\n\n\n\n\n\n\n\n|1|2097152", "z|1|0"}},
      {"an overlong last line", a + "bcd", {"aaaaaaaa~1048576~aaaaaaab|0|2"}},
  };
  for (const ReaderCase& c : cases) EXPECT_EQ(ReadLines(c.bytes), c.lines) << c.name;
}

TEST(ShownText, ControlsAreWrittenOut) {
  struct EscapeCase {
    std::string_view text;
    const char* shown;
  };
  const EscapeCase cases[] = {
      {"plain \\ text", "plain \\ text"},
      {"\n\r\t", "\\n\\r\\t"},
      {std::string_view("\0\x01\x1b[2J\x7f", 7), "\\x00\\x01\\x1b[2J\\x7f"},
      {"\xc2\x9b"
       "31m",
       "\\u009b31m"},                           // C1 CSI as UTF-8
      {"\xc2\x85\xc2\xa0", "\\u0085\xc2\xa0"},  // NEL escaped, NBSP kept
      {"\xe3\x83\x95\xe3\x82\xa1", "\xe3\x83\x95\xe3\x82\xa1"},
      {"\x9b\xff\xc2", "\\x9b\\xff\\xc2"},  // not UTF-8
      {"\xe0\x80\x80\xed\xa0\x80", "\\xe0\\x80\\x80\\xed\\xa0\\x80"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
  };
  for (const EscapeCase& c : cases) EXPECT_EQ(qel::report::EscapeControls(c.text), c.shown);
  // From the log's code page: the ESC of a text argument.
  EXPECT_EQ(qel::report::ShownText("\x83\x74\x1b]0;x\x07"), "フ\\x1b]0;x\\x07");
}

// ShownText converts a line piece by piece and keeps the conversions; the result must be
// that of converting and escaping the whole line at once, for any bytes: double-byte
// characters whose second byte is ASCII, lead bytes at the end, stray bytes, controls.
TEST(ShownText, PiecesConvertAsTheWholeLine) {
  const std::string cases[] = {
      "C:\\data\\\x83\x74\x83\x40\x83\x43\x83\x8b, part 1.txt",
      "\x83\x74t\x83",     // second byte ASCII, lead byte at the end
      "\x81\x20\x81\x7f",  // lead bytes before bytes no character takes
      "\x80\xa0\xfd\xfe\xff\x82\xa0"
      "a",
      "\xb1\xb2\xb3 \xde\xdf\x1b\x9b",  // single-byte katakana, controls
      std::string("\x83\0\x83\x74", 4),
  };
  for (const std::string& text : cases) {
    std::string whole = qel::report::EscapeControls(qel::Cp932ToUtf8(text));
    EXPECT_EQ(qel::report::ShownText(text), whole) << qel::report::EscapeControls(text);
    EXPECT_EQ(qel::report::ShownText(text), whole) << "kept: " << qel::report::EscapeControls(text);
  }
  // Random lines over the bytes that matter: ASCII below and above 0x40, lead and second
  // bytes, bytes no character uses; a fixed seed keeps a failure reproducible.
  const unsigned char alphabet[] = {0x00, 0x0a, 0x1b, ' ',  ',',  '"',  '0',  '@',  'A',
                                    '\\', 'a',  0x7e, 0x7f, 0x80, 0x81, 0x83, 0x9f, 0xa0,
                                    0xa1, 0xb1, 0xdf, 0xe0, 0xea, 0xfc, 0xfd, 0xff};
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int round = 0; round < 20000; ++round) {
    std::string text(next() % 24, '\0');
    for (char& c : text) c = static_cast<char>(alphabet[next() % sizeof alphabet]);
    ASSERT_EQ(qel::report::ShownText(text), qel::report::EscapeControls(qel::Cp932ToUtf8(text)))
        << qel::report::EscapeControls(text);
  }
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

// Files named by the series mark alone, so the order comes from the slots, not the disk.
std::vector<qel::report::LogFile> SeriesFiles(const std::vector<std::string>& names) {
  std::vector<qel::report::LogFile> files;
  for (const std::string& name : names) {
    qel::report::LogFile file;
    file.path = file.name = name;
    qel::report::ParseSeriesName(name, &file);
    files.push_back(file);
  }
  return files;
}

TEST(LogSeries, FormSeriesOrdersTheRingOrSaysWhyNot) {
  qel::Result<qel::report::Series> formed = qel::report::FormSeries(
      SeriesFiles({"$$$app00$$$(7).txt", "$$$app29$$$(7).txt", "$$$app30$$$(7).txt"}));
  ASSERT_TRUE(formed) << formed.message();
  EXPECT_TRUE(formed.message().empty());
  std::vector<std::string> order;
  for (const qel::report::LogFile& file : formed.value().files) order.push_back(file.name);
  EXPECT_EQ(order, (std::vector<std::string>{"$$$app29$$$(7).txt", "$$$app30$$$(7).txt",
                                             "$$$app00$$$(7).txt"}));
  EXPECT_EQ(formed.value().program, "app");
  EXPECT_EQ(formed.value().pid, 7);

  qel::Result<qel::report::Series> mixed =
      qel::report::FormSeries(SeriesFiles({"$$$app00$$$(7).txt", "$$$app01$$$(8).txt"}));
  ASSERT_FALSE(mixed);
  EXPECT_EQ(mixed.message(),
            "the files belong to more than one process; name the files of one:\n"
            "  app process 7: 1 file\n  app process 8: 1 file");
}

TEST(LogSeries, FindLogFilesSaysWhichArgumentNamesNothing) {
  std::filesystem::path missing = std::filesystem::temp_directory_path() / "qel-no-such-log";
  qel::Result<std::vector<qel::report::LogFile>> found =
      qel::report::FindLogFiles({(missing / "x.txt").string()});
  ASSERT_FALSE(found);
  EXPECT_EQ(found.message(), (missing / "x.txt").string() + ": no such file");
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

// Deep stacks show their 8 outermost and 8 innermost calls and say how many between are
// left out, with the indentation capped at 16 levels.
TEST(ReportModel, CallsInFlightShowBothEndsOfADeepStack) {
  struct DepthCase {
    int depth;
    size_t lines;     // of the section
    const char* gap;  // the line that stands for the calls not shown, "" when none
  };
  const DepthCase cases[] = {
      {16, 2 + 2 * 16, ""},
      {17, 2 + 2 * 16 + 1, "                    ... 1 level not shown"},
      {5000, 2 + 2 * 16 + 1, "                    ... 4984 levels not shown"},
  };
  for (const DepthCase& c : cases) {
    std::vector<std::string> lines;
    for (int i = 0; i < c.depth; ++i) {
      lines.push_back("10:00:00:000,   1, 00401000,         ,         , F" + std::to_string(i) +
                      ", , ");
    }
    qel::report::ReportOptions options;
    qel::report::Report report = Build(lines, options);
    std::ostringstream out;
    qel::report::WriteTextSummary(report, options, out);
    std::string text = out.str();
    std::string section = text.substr(text.find("Calls in flight"));
    section = section.substr(0, section.find("\n\n"));
    std::vector<std::string> shown;
    std::istringstream in(section);
    for (std::string line; std::getline(in, line);) shown.push_back(line);
    EXPECT_EQ(shown.size(), c.lines) << c.depth;
    bool hasGap =
        std::string(c.gap).empty() || std::find(shown.begin(), shown.end(), c.gap) != shown.end();
    EXPECT_TRUE(hasGap) << c.depth << "\n" << section;
    // The innermost call is shown last, indented no deeper than 16 levels.
    std::string innermost = "F" + std::to_string(c.depth - 1) + ", , ";
    size_t level = std::min(c.depth - 1, 16);
    EXPECT_EQ(shown.back(), std::string(4 + 2 * level, ' ') +
                                "10:00:00:000,   1, 00401000,         ,         , " + innermost)
        << c.depth;
  }
}

// The first module or call line sets the log's width; a module line of the other width is
// text, as any line that is not a module line.
TEST(ReportModel, TheFirstAddressColumnSetsTheWidth) {
  const std::string module64 =
      "0000000140000000 - 000000014003f000,  [0003f000(      258,048)], 2026/12/10 21:21:14, a.exe";
  const std::string module32 =
      "00400000 - 0043a000,  [0003a000(      237,568)], 2026/12/10 03:32:29, b.exe";
  const std::string pre64 =
      "10:00:00:000,   1, 0000000140001000,                 ,         , F, , ";
  struct WidthCase {
    const char* name;
    std::vector<std::string> lines;
    int digits;
    size_t modules;
    uint64_t texts;
  };
  const WidthCase cases[] = {
      {"no address column", {"2026/12/10 10:00:00"}, 8, 0, 0},
      {"64-bit modules",
       {"2026/12/10 10:00:00", "[Loaded Modules]", "", module64, module32},
       16,
       1,
       1},
      {"32-bit modules",
       {"2026/12/10 10:00:00", "[Loaded Modules]", "", module32, module64},
       8,
       1,
       1},
      {"a call line first",
       {"2026/12/10 10:00:00", pre64, "[Loaded Modules]", "", module32, module64},
       16,
       1,
       1},
  };
  for (const WidthCase& c : cases) {
    qel::report::Report report = Build(c.lines);
    EXPECT_EQ(report.addressDigits, c.digits) << c.name;
    EXPECT_EQ(report.modules.size(), c.modules) << c.name;
    EXPECT_EQ(report.texts, c.texts) << c.name;
  }
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
