// Exact-text summaries, and for some the pages, of fixture logs that the tracer wrote in
// the guest, by the 32-bit DLL and by the 64-bit one (x64-*). Set QEL_UPDATE_EXPECTED=1 to
// rewrite the expected files after regenerating the fixtures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <filesystem>

#include "page_script.h"
#include "report_command.h"

namespace {

const std::string kDir = QEL_REPORT_TEST_DIR;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct FixtureCase {
  const char* expected;                // file under expected/
  std::vector<std::string> arguments;  // log arguments relative to fixtures/
  std::vector<std::string> options;
  bool page = false;  // the page too, as expected/NAME.html
};

// The page with its fixed style and script named instead of written out: the expected
// page pins what comes from the log, not the page's code.
std::string PageOfLog(const std::string& page) {
  std::string text = ReadAll(page);
  for (const auto& [code, name] :
       {std::pair<std::string, const char*>{qel::report::kPageStyle, "/* page style */"},
        {qel::report::kPageScript, "/* page script */"}}) {
    size_t at = text.find(code);
    if (at != std::string::npos) text.replace(at, code.size(), name);
  }
  return text;
}

TEST(ReportFixtures, SummariesMatchExactly) {
  const FixtureCase cases[] = {
      {"nested", {"nested"}, {}},
      {"threads", {"threads"}, {}, true},
      {"crash", {"crash"}, {}},
      {"cut", {"cut"}, {}},
      {"rollover", {"rollover"}, {"--top", "3"}},
      {"rollover", {"rollover/$$$fixture_host*$$$(308).txt"}, {"--top", "3"}},
      {"demo", {"demo"}, {}},
      {"demo-filtered", {"demo"}, {"--api", "create*,wait*", "--thread", "1", "--top", "2"}},
      {"decode", {"decode"}, {}},
      // Written by the 64-bit DLL: 16-digit addresses and results, 8-digit last errors.
      {"x64-threads", {"x64-threads"}, {}, true},
      {"x64-crash", {"x64-crash"}, {}, true},
  };
  bool update = std::getenv("QEL_UPDATE_EXPECTED") != nullptr;
  for (const FixtureCase& c : cases) {
    std::vector<std::string> arguments = c.options;
    std::string page = ::testing::TempDir() + "qel-fixture-page.html";
    if (c.page) {
      std::filesystem::remove(page);
      arguments.insert(arguments.end(), {"--html", page});
    }
    for (const std::string& log : c.arguments) arguments.push_back(kDir + "/fixtures/" + log);
    std::ostringstream out, err;
    int code = qel::report::RunReport(arguments, out, err);
    std::string path = kDir + "/expected/" + c.expected + ".txt";
    if (update) std::ofstream(path, std::ios::binary) << out.str();
    EXPECT_EQ(code, 0) << c.expected << ": " << err.str();
    EXPECT_EQ(err.str(), "") << c.expected;
    EXPECT_EQ(out.str(), ReadAll(path)) << c.expected;
    if (!c.page) continue;
    std::string pagePath = kDir + "/expected/" + c.expected + ".html";
    if (update) std::ofstream(pagePath, std::ios::binary) << PageOfLog(page);
    EXPECT_EQ(PageOfLog(page), ReadAll(pagePath)) << c.expected;
  }
}

}  // namespace

// --calls on the same logs: every call decoded from lists/decode.txt (lists/x64/decode.txt
// for the 64-bit DLL's logs), in the order made.
TEST(ReportFixtures, DecodedCallsMatchExactly) {
  const std::string lists = std::string(QEL_SOURCE_DIR) + "/lists";
  // A table without CloseHandle, as for a function of a DLL without a list: its calls keep
  // their columns as written, and nothing fails.
  const std::string partial = ::testing::TempDir() + "qel-partial-lists";
  std::filesystem::create_directories(partial);
  {
    std::istringstream full(ReadAll(lists + "/decode.txt"));
    std::ofstream kept(partial + "/decode.txt", std::ios::binary);
    for (std::string line; std::getline(full, line);) {
      if (line.find("\tCloseHandle\t") == std::string::npos) kept << line << "\n";
    }
  }
  const FixtureCase cases[] = {
      {"calls-demo", {"demo"}, {}},
      // File, memory, registry and wait constants, a flag bit no constant names, error results.
      {"calls-decode", {"decode"}, {}},
      {"calls-demo-filtered", {"demo"}, {"--api", "create*,wait*", "--thread", "1"}},
      {"calls-nested", {"nested"}, {}},
      {"calls-threads", {"threads"}, {}},
      {"calls-crash", {"crash"}, {}},
      {"calls-x64-threads", {"x64-threads"}, {}},
      {"calls-x64-crash", {"x64-crash"}, {}},
      {"calls-demo-without-closehandle", {"demo"}, {"--lists", partial}},
      // Handles of each family named where passed: a file's value reused after its close,
      // a key path built across three opens, named synchronisation objects, a module.
      {"calls-handles", {"handles"}, {}},
      // Filters leave the names as they are: the opens and closes are followed unshown.
      {"calls-handles-filtered", {"handles"}, {"--api", "WriteFile,RegQuery*,Wait*"}},
      // Callbacks two levels deep indented under their callers; calls in flight at a crash.
      {"calls-nested-tree", {"nested"}, {"--tree"}},
      {"calls-crash-tree", {"crash"}, {"--tree"}},
      {"calls-x64-crash-tree", {"x64-crash"}, {"--tree"}},
  };
  bool update = std::getenv("QEL_UPDATE_EXPECTED") != nullptr;
  for (const FixtureCase& c : cases) {
    std::vector<std::string> arguments = {"--calls"};
    if (c.options.empty() || c.options[0] != "--lists")
      arguments.insert(arguments.end(), {"--lists", lists});
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    for (const std::string& log : c.arguments) arguments.push_back(kDir + "/fixtures/" + log);
    std::ostringstream out, err;
    int code = qel::report::RunReport(arguments, out, err);
    std::string path = kDir + "/expected/" + c.expected + ".txt";
    if (update) std::ofstream(path, std::ios::binary) << out.str();
    EXPECT_EQ(code, 0) << c.expected << ": " << err.str();
    EXPECT_EQ(err.str(), "") << c.expected;
    EXPECT_EQ(out.str(), ReadAll(path)) << c.expected;
  }
}

// Without any decoding table the calls keep their columns, with a note on standard error.
TEST(ReportFixtures, CallsWithoutDefinitionsKeepTheirColumns) {
  const std::string empty = ::testing::TempDir() + "qel-empty-lists";
  std::filesystem::create_directories(empty);
  std::ostringstream out, err;
  int code =
      qel::report::RunReport({"--calls", "--lists", empty, kDir + "/fixtures/demo"}, out, err);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(err.str(), "qelvorn-report: no decoding table (" + empty +
                           "/decode.txt): calls are shown with their columns as written\n");
  std::string text = out.str();
  EXPECT_EQ(
      text.substr(0, text.find('\n')),
      "03:35:20:278   1  CreateFileA [columns: , \"Z:\\tmp\\fx\\demo\\logs\\demo-output.txt\", "
      "40000000, 00000000, (null), 00000002, 00000080, (null)] = 00000070 (27 ms)");
  std::ostringstream badOut, badErr;
  EXPECT_EQ(qel::report::RunReport({"--calls", "--lists", empty + "/none", kDir + "/fixtures/demo"},
                                   badOut, badErr),
            2);
  EXPECT_EQ(qel::report::RunReport({"--lists", empty, kDir + "/fixtures/demo"}, badOut, badErr), 1);
  std::ostringstream treeOut, treeErr;
  EXPECT_EQ(qel::report::RunReport({"--tree", kDir + "/fixtures/demo"}, treeOut, treeErr), 1);
  EXPECT_EQ(treeErr.str(), "qelvorn-report: --tree goes with --calls\n");
}
