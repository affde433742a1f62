// Exact-text summaries of fixture logs that the tracer wrote in the guest. Set
// QEL_UPDATE_EXPECTED=1 to rewrite the expected files after regenerating the fixtures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
};

TEST(ReportFixtures, SummariesMatchExactly) {
  const FixtureCase cases[] = {
      {"nested", {"nested"}, {}},
      {"threads", {"threads"}, {}},
      {"crash", {"crash"}, {}},
      {"cut", {"cut"}, {}},
      {"rollover", {"rollover"}, {"--top", "3"}},
      {"rollover", {"rollover/$$$fixture_host*$$$(308).txt"}, {"--top", "3"}},
      {"demo", {"demo"}, {}},
      {"demo-filtered", {"demo"}, {"--api", "create*,wait*", "--thread", "1", "--top", "2"}},
  };
  bool update = std::getenv("QEL_UPDATE_EXPECTED") != nullptr;
  for (const FixtureCase& c : cases) {
    std::vector<std::string> arguments = c.options;
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

}  // namespace
