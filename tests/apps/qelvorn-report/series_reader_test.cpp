// The series read ahead on a thread of its own: a series of several files, each many
// batches long, with an api listing, a line longer than the reader keeps, a last line
// without its line end and host text, decodes exactly as its lines fed one by one do, and
// the reader ends cleanly when it is dropped half-way; batches stay bounded.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "call_definitions.h"
#include "call_listing.h"
#include "log_series.h"
#include "report_command.h"
#include "report_model.h"
#include "series_reader.h"

namespace {

namespace fs = std::filesystem;
using qel::report::CallDefinitions;
using qel::report::CallListing;
using qel::report::SeriesReader;

const std::string kLists = std::string(QEL_SOURCE_DIR) + "/lists";

// One log of the series: `calls` calls of four threads, files opened, read and closed
// (nested calls among them), an api listing that runs over the first batch's end, host
// text with controls, and a line longer than LineReader keeps.
std::string MakeLog(int file, int calls, bool endsUnfinished) {
  std::string log = "2026/12/11 10:00:00\r\n\r\n";
  log += "[api listing start 3000]\r\n";
  for (int i = 0; i < 3000; ++i) {
    log += "KERNEL32.dll, Listed" + std::to_string(i) + std::string(80, 'x') + "\r\n";
  }
  log += "KERNEL32.dll, CreateFileA\r\nKERNEL32.dll, ReadFile\r\n[api listing end]\r\n\r\n";
  log +=
      "[time],       [th],[ret adr],[ret],    [LastEr], [API], [Option], [P1], [P2], ...\r\n\r\n";
  char line[512];
  for (int t = 0; t < calls; ++t) {
    int thread = t % 4 + 1;
    int ms = (36000000 + t) % 86400000;
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d:%03d", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000);
    unsigned handle = 0x100 + thread * 16;
    std::string args;
    const char* api;
    unsigned result;
    switch (t / 4 % 3) {
      case 0:
        api = "CreateFileA";
        std::snprintf(line, sizeof line,
                      "\"C:\\\x83\x74\x83\x40 %d-%d.txt\", 80000000, 00000001, (null), "
                      "00000003, 00000080, (null)",
                      file, t);
        args = line;
        result = handle;
        break;
      case 1:
        api = "ReadFile";
        std::snprintf(line, sizeof line, "%08x, 0063f000, 4096, 0063ed68, (null)", handle);
        args = line;
        result = 1;
        break;
      default:
        api = "CloseHandle";
        std::snprintf(line, sizeof line, "%08x", handle);
        args = line;
        result = 1;
        break;
    }
    std::snprintf(line, sizeof line, "%s, %3d, 00401%03x,         ,         , %s <a.exe>, , ",
                  clock, thread, t % 4096, api);
    log += line + args + "\r\n";
    if (t % 8 == 0) {
      std::snprintf(line, sizeof line,
                    "%s, %3d, 00402000,         ,         , Sleep <a.exe>, , 1\r\n"
                    "%s, %3d, 00402000, 00000000, 00000000, Sleep <a.exe>, , 1\r\n",
                    clock, thread, clock, thread);
      log += line;
    }
    if (t % 997 == 0) log += "host text\x1b[2J with, commas\r\n";
    if (t == calls / 2)
      log += "long " + std::string(qel::report::LineReader::kLineLimit, 'y') + "\r\n";
    std::snprintf(line, sizeof line, "%s, %3d, 00401%03x, %08x, %08x, %s <a.exe>, , ", clock,
                  thread, t % 4096, result, t % 5 == 0 ? 2u : 0u, api);
    log += line + args + "\r\n";
  }
  if (endsUnfinished) log += "02:00:00:000, half a line";
  return log;
}

class SeriesReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / "qel-series-reader";
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (int f = 0; f < 3; ++f) {
      char name[64];
      std::snprintf(name, sizeof name, "$$$big%02d$$$(77).txt", f);
      paths_.push_back((dir_ / name).string());
      std::ofstream(paths_.back(), std::ios::binary) << MakeLog(f, 6000 + f * 1000, f == 2);
    }
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  std::vector<std::string> paths_;
};

TEST_F(SeriesReaderTest, DecodesAsTheLinesFedOneByOne) {
  // Each file spans several batches, so that the reader waits for room as well.
  for (const std::string& path : paths_) {
    ASSERT_GT(fs::file_size(path), 4 * SeriesReader::kBatchBytes) << path;
  }
  std::ostringstream out, err;
  ASSERT_EQ(
      qel::report::RunReport({"--calls", "--tree", "--lists", kLists, dir_.string()}, out, err), 0)
      << err.str();

  CallDefinitions defs = CallDefinitions::Load(kLists + "/decode.txt").value();
  qel::report::ReportOptions options;
  options.tree = true;
  std::ostringstream expected;
  CallListing listing(
      options, [&](int digits) { return digits == 8 ? &defs : nullptr; }, expected);
  for (const std::string& path : paths_) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         std::fclose);
    qel::report::LineReader reader(file.get());
    qel::report::ReadLine line;
    while (reader.Next(&line)) listing.AddLine(line.text, line.ended);
  }
  listing.Finish();
  std::string decoded = out.str();
  ASSERT_GE(decoded.size(), expected.str().size());
  EXPECT_TRUE(decoded.compare(0, expected.str().size(), expected.str()) == 0)
      << "the calls differ from the lines fed one by one";
  EXPECT_NE(decoded.find("CreateFileA(lpFileName="), std::string::npos);
}

TEST_F(SeriesReaderTest, EndsCleanlyWhenDroppedHalfWay) {
  size_t lines = 0;
  {
    SeriesReader reader(paths_);
    const SeriesReader::Batch* batch = reader.Next();
    ASSERT_NE(batch, nullptr);
    EXPECT_TRUE(batch->first);
    EXPECT_EQ(batch->file, 0u);
    lines = batch->lines.size();
  }
  EXPECT_GT(lines, 0u);
  // Every batch of every file, and nothing after the last.
  SeriesReader reader(paths_);
  size_t files = 0;
  while (const SeriesReader::Batch* batch = reader.Next()) {
    if (batch->end == SeriesReader::FileEnd::kDone) ++files;
    EXPECT_NE(batch->end, SeriesReader::FileEnd::kReadError);
  }
  EXPECT_EQ(files, paths_.size());
  EXPECT_EQ(reader.Next(), nullptr);
}

// A batch is cut by its lines as well as its bytes: a file of empty lines holds no bytes
// of text, but each line still takes room.
TEST_F(SeriesReaderTest, BatchesOfEmptyLinesAreBoundedToo) {
  std::string path = (dir_ / "empty-lines.txt").string();
  std::string log = "2026/12/11 10:00:00\r\n";
  for (int i = 0; i < 100000; ++i) log += "\r\n";
  std::ofstream(path, std::ios::binary) << log;
  SeriesReader reader({path});
  size_t lines = 0;
  while (const SeriesReader::Batch* batch = reader.Next()) {
    EXPECT_LE(batch->lines.size(), SeriesReader::kBatchLines);
    lines += batch->lines.size();
  }
  EXPECT_EQ(lines, 100001u);
}

TEST_F(SeriesReaderTest, AFileGoneBeforeItIsReadEndsTheSeries) {
  fs::remove(paths_[1]);
  SeriesReader reader(paths_);
  std::vector<SeriesReader::FileEnd> ends;
  while (const SeriesReader::Batch* batch = reader.Next()) {
    if (batch->end != SeriesReader::FileEnd::kNone) ends.push_back(batch->end);
  }
  std::vector<SeriesReader::FileEnd> expected = {SeriesReader::FileEnd::kDone,
                                                 SeriesReader::FileEnd::kUnopened};
  EXPECT_EQ(ends, expected);
}

}  // namespace
