// Log files named on the command line, put into the order the tracer wrote them, and
// read as one stream of lines.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace qel::report {

struct LogFile {
  std::string path;
  std::string name;     // file name without the folder
  std::string program;  // from the name, empty when it is not a series name
  long long pid = -1;
  int slot = -1;
};

struct Series {
  std::vector<LogFile> files;  // oldest first
  std::string program;
  long long pid = -1;
};

// Expands folders (every series file in it) and patterns with * or ? in the file name, in
// the order given; a file named twice is kept once. Fails when an argument names nothing
// that can be read.
Result<std::vector<LogFile>> FindLogFiles(const std::vector<std::string>& arguments);

// Checks that all files belong to one process and orders them by the slot ring. Fails when
// they belong to several.
Result<Series> FormSeries(std::vector<LogFile> files);

// Reads `program`, slot and pid out of "$$$<program><slot>$$$(<pid>).txt".
bool ParseSeriesName(const std::string& name, LogFile* file);

// The oldest slot of a series that occupies `slots` (ascending, distinct, 0..30) of the
// ring: the one after the widest gap. Several equal gaps give several candidates.
std::vector<size_t> RingStartCandidates(const std::vector<int>& slots);

// One line of a log as the reader hands it on.
struct ReadLine {
  std::string_view text;  // without its CR LF; at most LineReader::kLineLimit bytes
  bool ended = true;      // false for a last line without its CR LF
  uint64_t cut = 0;       // bytes of the line left out behind `text`
};

// Streams a file line by line with a fixed buffer. The tracer ends each line with CR LF;
// a bare LF or CR is a byte of the text it stands in (arguments are logged as passed).
// A line longer than the limit keeps its head, which holds every column the report reads.
class LineReader {
 public:
  static constexpr size_t kLineLimit = 1 << 20;

  explicit LineReader(std::FILE* file);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line; its text stays valid until the next call.
  bool Next(ReadLine* line);
  bool Failed() const { return failed_; }

 private:
  bool Fill();
  size_t Read(char* into, size_t size);
  void SkipRest(ReadLine* line);

  std::FILE* file_;
  // A line's head of kLineLimit bytes, and room to read on past it.
  static constexpr size_t kBufferSize = kLineLimit + (64 << 10);
  std::unique_ptr<char[]> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  size_t scanned_ = 0;  // bytes from begin_ on that hold no CR LF
  bool eof_ = false;
  bool failed_ = false;
};

}  // namespace qel::report
