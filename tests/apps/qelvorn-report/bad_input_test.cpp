// Bad input and bad command lines: a message on stderr and the documented exit code.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "report_command.h"

namespace {

namespace fs = std::filesystem;
using qel::report::RunReport;

const char kLog[] =
    "2026/12/10 01:39:37\r\n"
    "\r\n[time],       [th],[ret adr],[ret],    [LastEr], [API], [Option], [P1], [P2], ...\r\n"
    "\r\n"
    "new thread : (  1) 00000024\r\n"
    "01:39:37:303,   1, 00408389,         ,         , Sleep <a.exe>, , 1\r\n"
    "01:39:37:304,   1, 00408389, 00000000, 00000000, Sleep <a.exe>, , 1\r\n";

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qel-report-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  int Run(const std::vector<std::string>& arguments) {
    out_.str("");
    err_.str("");
    return RunReport(arguments, out_, err_);
  }
  fs::path dir_;
  std::ostringstream out_, err_;
};

TEST_F(BadInput, ExitCodesAndMessages) {
  std::string log = Write("$$$a00$$$(5).txt", kLog);
  std::string empty = Write("empty.txt", "");
  std::string foreign = Write("foreign.txt", "hello\nworld\n");
  std::string binary = Write("binary.txt", std::string("\x7f"
                                                       "ELF\0\0\x01",
                                                       7));
  struct Case {
    std::vector<std::string> arguments;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {{}, 1, "no log named"},
      {{"--top"}, 1, "--top needs a value"},
      {{"--top", "x", log}, 1, "--top takes a number"},
      {{"--thread", "-1", log}, 1, "--thread takes a thread number"},
      {{"--bogus", log}, 1, "unknown option --bogus"},
      {{(dir_ / "missing.txt").string()}, 2, "no such file"},
      {{(dir_ / "nomatch*.txt").string()}, 2, "no file matches"},
      {{empty}, 3, "empty, skipped"},
      {{foreign}, 3, "not a trace log"},
      {{binary}, 3, "not a trace log"},
      {{log, "--html", (dir_ / "no" / "such" / "page.html").string()}, 4, "cannot write the page"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(c.arguments), c.code) << c.message;
    EXPECT_NE(err_.str().find(c.message), std::string::npos) << err_.str();
  }
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(out_.str().find("Exit codes"), std::string::npos);
}

// As with a full disk or a closed pipe: every write to the summary's stream fails.
TEST_F(BadInput, ASummaryThatCannotBeWrittenIsAFailure) {
  std::string log = Write("$$$a00$$$(5).txt", kLog);
  std::ostream nowhere(nullptr);
  EXPECT_EQ(RunReport({log}, nowhere, err_), 4);
  EXPECT_NE(err_.str().find("cannot write the summary"), std::string::npos) << err_.str();
}

TEST_F(BadInput, MixedSeriesIsRefused) {
  Write("$$$a00$$$(5).txt", kLog);
  Write("$$$a01$$$(6).txt", kLog);
  EXPECT_EQ(Run({dir_.string()}), 3);
  EXPECT_NE(err_.str().find("more than one process"), std::string::npos) << err_.str();
  EXPECT_NE(err_.str().find("a process 5: 1 file"), std::string::npos) << err_.str();
  // One process picked by a pattern is fine.
  EXPECT_EQ(Run({(dir_ / "$$$a*$$$(6).txt").string()}), 0) << err_.str();
}

TEST_F(BadInput, EmptyFileInASeriesIsSkippedAndCutLineCounted) {
  Write("$$$a00$$$(5).txt", kLog);
  Write("$$$a01$$$(5).txt", "");
  Write("$$$a02$$$(5).txt", "01:39:37:305,   1, 00408389,         ,         , Sle");
  EXPECT_EQ(Run({dir_.string()}), 0) << err_.str();
  EXPECT_NE(err_.str().find("empty, skipped"), std::string::npos);
  EXPECT_NE(out_.str().find("Unparsed lines: 1\n"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("(cut short: no line end)"), std::string::npos);
}

TEST_F(BadInput, GarbageInsideALogIsCountedNotFatal) {
  std::string garbage = std::string(kLog) + "01:39:37:305, xx\r\n" + std::string(20000, '\xff') +
                        "\r\n" + std::string("\0\0\0", 3) + "\r\n";
  std::string log = Write("$$$a00$$$(5).txt", garbage);
  EXPECT_EQ(Run({log, "--html", (dir_ / "page.html").string()}), 0) << err_.str();
  EXPECT_NE(out_.str().find("Unparsed lines: 1\n"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("Texts (QelWriteLog_ and other lines): 2\n"), std::string::npos);
  EXPECT_TRUE(fs::file_size(dir_ / "page.html") > 0);
}

}  // namespace
