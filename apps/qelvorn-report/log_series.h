// Log files named on the command line, put into the order the tracer wrote them, and
// read as one stream of lines.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

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

// Why a series could not be formed; the exit codes of the command.
enum class SeriesStatus { kOk = 0, kUnreadable = 2, kNotALog = 3 };

// Expands folders (every series file in it) and patterns with * or ? in the file name,
// checks that all files belong to one process and orders them by the slot ring.
SeriesStatus ResolveSeries(const std::vector<std::string>& arguments, Series* series,
                           std::string* message);

// Reads `program`, slot and pid out of "$$$<program><slot>$$$(<pid>).txt".
bool ParseSeriesName(const std::string& name, LogFile* file);

// The oldest slot of a series that occupies `slots` (ascending, distinct, 0..30) of the
// ring: the one after the widest gap. Several equal gaps give several candidates.
std::vector<size_t> RingStartCandidates(const std::vector<int>& slots);

// Streams a file line by line with a fixed buffer.
class LineReader {
 public:
  explicit LineReader(std::FILE* file);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line without its CR LF. `ended` is false for a last line without a line
  // end, and for a piece of an overlong line (longer than the buffer).
  bool Next(std::string_view* line, bool* ended);
  bool Failed() const { return failed_; }

 private:
  bool Fill();

  std::FILE* file_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
  bool failed_ = false;
};

}  // namespace qel::report
