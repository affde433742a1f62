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
