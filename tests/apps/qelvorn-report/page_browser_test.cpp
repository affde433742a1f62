// The report page in a real browser: headless Chromium loads the page of a fixture log
// inside page_check.html, which counts lanes and bars and works the table's filters.
// A screenshot of each page is kept under the build folder's test-artefacts.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "report_command.h"

namespace {

namespace fs = std::filesystem;
const std::string kDir = QEL_REPORT_TEST_DIR;
const std::string kArtefacts = QEL_REPORT_ARTEFACTS;

std::string Shell(const std::string& command) {
  std::string output;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  pclose(pipe);
  return output;
}

// Chromium refuses to run as root without --no-sandbox; the profile goes to a scratch folder.
std::string Chromium(const std::string& flags) {
  return Shell(
      "chromium --headless --no-sandbox --disable-gpu --hide-scrollbars "
      "--user-data-dir=" +
      kArtefacts + "/chromium-profile " + flags + " 2>/dev/null");
}

std::string MakePage(const std::string& fixture) {
  fs::create_directories(kArtefacts);
  std::string page = kArtefacts + "/" + fixture + ".html";
  std::ostringstream out, err;
  EXPECT_EQ(qel::report::RunReport({"--html", page, kDir + "/fixtures/" + fixture}, out, err), 0)
      << err.str();
  return page;
}

std::string Check(const std::string& page) {
  std::string dom = Chromium(
      "--allow-file-access-from-files --virtual-time-budget=10000 "
      "--dump-dom 'file://" +
      kDir + "/page_check.html?page=file://" + page + "'");
  size_t begin = dom.find("RESULT ");
  size_t end = dom.find(" END", begin);
  if (begin == std::string::npos || end == std::string::npos)
    return "no result in: " + dom.substr(0, 400);
  return dom.substr(begin + 7, end - begin - 7);
}

struct PageCase {
  const char* fixture;
  const char* expected;
};

TEST(ReportPage, TimelineAndFiltersInHeadlessChromium) {
  ASSERT_FALSE(Shell("command -v chromium").empty())
      << "chromium is not installed (tools/setup-host.sh)";
  const PageCase cases[] = {
      // Two threads: 4 calls on thread 1, 3 on thread 2; two calls set a new error.
      {"threads",
       "lanes=2 bars=7 calls=7 all=7 rows=7 sleep=2 sleepRows=2 count=2_of_7_calls thread2=3 "
       "text=1 failed=2 open=0"},
      // The crash: two calls still open, drawn open-ended.
      {"crash",
       "lanes=2 bars=5 calls=5 all=5 rows=5 sleep=2 sleepRows=2 count=2_of_5_calls thread2=1 "
       "text=0 failed=0 open=2"},
      {"nested",
       "lanes=1 bars=6 calls=6 all=6 rows=6 sleep=3 sleepRows=3 count=3_of_6_calls thread2=none "
       "text=1 failed=1 open=0"},
  };
  for (const PageCase& c : cases) {
    std::string page = MakePage(c.fixture);
    EXPECT_EQ(Check(page), c.expected) << c.fixture;
    std::string shot = kArtefacts + "/" + c.fixture + ".png";
    fs::remove(shot);
    Chromium("--window-size=1200,1100 --screenshot=" + shot + " 'file://" + page + "'");
    EXPECT_TRUE(fs::exists(shot) && fs::file_size(shot) > 10000) << shot;
  }
}

}  // namespace
