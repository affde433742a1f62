// The report page in a real browser: headless Chromium loads the page of a fixture log
// inside page_check.html, which counts lanes and bars, works the table's filters, reads a
// decoded row and its raw lines, folds a call with the calls made inside it, and counts
// script errors from the page's first script on.
// A screenshot of each page is kept under the build folder's test-artefacts.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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

// Writes the page of `log` as NAME.html among the artefacts.
std::string MakePage(const std::string& name, const std::string& log) {
  fs::create_directories(kArtefacts);
  std::string page = kArtefacts + "/" + name + ".html";
  std::ostringstream out, err;
  EXPECT_EQ(qel::report::RunReport({"--html", page, log}, out, err), 0) << err.str();
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

// 100,000 calls on four threads: every other call a CreateFileA on a cp932 name, and one in
// twenty sets error 2.
std::string MakeBigLog() {
  std::string dir = kArtefacts + "/big";
  fs::create_directories(dir);
  std::FILE* file = std::fopen((dir + "/$$$big00$$$(1).txt").c_str(), "wb");
  std::fputs("2026/12/10 10:00:00\r\n", file);
  for (int i = 0; i < 100000; ++i) {
    int start = 36000000 + i * 2;
    const char* api = i % 2 == 0 ? "Sleep" : "CreateFileA";
    const char* args = i % 2 == 0 ? "1" : "\"Z:\\\x83\x74\x83\x40\x83\x43\x83\x8b.txt\", 80000000";
    for (int post = 0; post < 2; ++post) {
      int t = start + post;
      std::fprintf(file, "%02d:%02d:%02d:%03d, %3d, 00401000, ", t / 3600000, t / 60000 % 60,
                   t / 1000 % 60, t % 1000, i % 4 + 1);
      if (post) {
        std::fprintf(file, "00000000, %08x, ", i % 20 == 1 ? 2 : 0);
      } else {
        std::fputs("        ,         , ", file);
      }
      std::fprintf(file, "%s <big.exe>, , %s\r\n", api, args);
    }
  }
  std::fclose(file);
  return dir;
}

struct PageCase {
  const char* fixture;
  const char* expected;
};

TEST(ReportPage, TimelineAndFiltersInHeadlessChromium) {
  ASSERT_FALSE(Shell("command -v chromium").empty())
      << "chromium is not installed (tools/setup-host.sh)";
  const PageCase cases[] = {
      // Two threads: 4 calls on thread 1, 3 on thread 2; two calls set a new error. Each
      // row shows its call decoded, its raw lines a click away; no call was made in another.
      {"threads",
       "lanes=2 bars=7 calls=7 all=7 rows=7 result=00000070:fits "
       "decoded=CreateThread(lpThreadAttributes raw=2:lines fold=none sleep=2 sleepRows=2 "
       "count=2_of_7_calls thread2=3 text=1 failed=2 open=0 errors=0"},
      // The crash: two calls still open, drawn open-ended; the Sleep made inside the
      // enumeration folds under it.
      {"crash",
       "lanes=2 bars=5 calls=5 all=5 rows=5 result=00000074:fits "
       "decoded=CreateThread(lpThreadAttributes raw=2:lines fold=5/4/5 sleep=2 sleepRows=2 "
       "count=2_of_5_calls thread2=1 text=0 failed=0 open=2 errors=0"},
      // Calls nested two levels deep inside an enumeration: folding it hides all three.
      {"nested",
       "lanes=1 bars=6 calls=6 all=6 rows=6 result=00000000:fits "
       "decoded=Sleep(dwMilliseconds raw=2:lines fold=6/3/6 sleep=3 sleepRows=3 "
       "count=3_of_6_calls thread2=none text=1 failed=1 open=0 errors=0"},
      // The same from the 64-bit DLL: 16-digit results in a column wide enough for them.
      {"x64-threads",
       "lanes=2 bars=7 calls=7 all=7 rows=7 result=0000000000000068:fits "
       "decoded=CreateThread(lpThreadAttributes raw=2:lines fold=none sleep=2 sleepRows=2 "
       "count=2_of_7_calls thread2=3 text=1 failed=2 open=0 errors=0"},
      {"x64-crash",
       "lanes=2 bars=5 calls=5 all=5 rows=5 result=000000000000006c:fits "
       "decoded=CreateThread(lpThreadAttributes raw=2:lines fold=5/4/5 sleep=2 sleepRows=2 "
       "count=2_of_5_calls thread2=1 text=0 failed=0 open=2 errors=0"},
  };
  // A long log: the page opens and filters (no timing here; tools/bench measures speed).
  std::string bigPage = MakePage("big", MakeBigLog());
  EXPECT_EQ(Check(bigPage),
            "lanes=4 bars=100000 calls=100000 all=100000 rows=23 result=00000000:fits "
            "decoded=Sleep(dwMilliseconds raw=2:lines fold=none sleep=50000 sleepRows=23 "
            "count=50000_of_100000_calls thread2=25000 text=50000 failed=5000 open=0 errors=0");
  for (const PageCase& c : cases) {
    std::string page = MakePage(c.fixture, kDir + "/fixtures/" + c.fixture);
    EXPECT_EQ(Check(page), c.expected) << c.fixture;
    std::string shot = kArtefacts + "/" + c.fixture + ".png";
    fs::remove(shot);
    Chromium("--window-size=1200,1100 --screenshot=" + shot + " 'file://" + page + "'");
    EXPECT_TRUE(fs::exists(shot) && fs::file_size(shot) > 10000) << shot;
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A script that fails while the page loads, before or after the report's own scripts, is
// counted even when the page still works; the pages of the logs above count none.
TEST(ReportPage, ScriptErrorsWhileThePageLoadsAreCounted) {
  ASSERT_FALSE(Shell("command -v chromium").empty())
      << "chromium is not installed (tools/setup-host.sh)";
  struct BrokenCase {
    const char* name;
    const char* before;  // the script goes in before the first of this text
    const char* script;
  };
  const BrokenCase cases[] = {
      {"head-throws", "</head>", "<script>missingFunction();</script>"},
      {"body-throws", "</body>", "<script>throw new Error('broken at load');</script>"},
      {"body-rejects", "</body>", "<script>Promise.reject(new Error('broken at load'));</script>"},
  };
  const std::string page = ReadAll(MakePage("threads", kDir + "/fixtures/threads"));
  for (const BrokenCase& c : cases) {
    std::string broken = page;
    size_t at = broken.find(c.before);
    ASSERT_NE(at, std::string::npos) << c.name;
    broken.insert(at, c.script);
    std::string path = kArtefacts + "/" + c.name + ".html";
    std::ofstream(path, std::ios::binary) << broken;
    EXPECT_EQ(Check(path),
              "lanes=2 bars=7 calls=7 all=7 rows=7 result=00000070:fits "
              "decoded=CreateThread(lpThreadAttributes raw=2:lines fold=none sleep=2 sleepRows=2 "
              "count=2_of_7_calls thread2=3 text=1 failed=2 open=0 errors=1")
        << c.name;
  }
}

}  // namespace
