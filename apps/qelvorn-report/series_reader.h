// The files of a series read and their lines parsed on a thread of its own, a batch at a
// time, while the caller works through the batch before: reading and parsing are a third
// of decoding a log, and a second processor is common.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "log_line.h"
#include "log_series.h"

namespace qel::report {

class SeriesReader {
 public:
  struct Line {
    ReadLine read;
    // Parsed in the section the lines before left, as CallListing reads it; a line
    // without its line end is not parsed and leaves the section as it is.
    ParsedLine parsed;
  };
  enum class FileEnd { kNone, kDone, kUnopened, kReadError };
  struct Batch {
    size_t file = 0;     // index into the paths
    bool first = false;  // the first batch of its file
    // How its file ended when this is its last batch, else kNone. A file that cannot be
    // opened or read ends the series.
    FileEnd end = FileEnd::kNone;
    std::vector<Line> lines;
    // The lines' bytes: the lines and their parsed parts point into it.
    std::string bytes;
    // Where each line lies in the bytes, until the batch is sealed and its lines point
    // there.
    std::vector<std::pair<size_t, size_t>> spans;
  };

  // Batches made ahead at most, and the bytes and lines one gathers before it is handed on.
  static constexpr size_t kAhead = 3;
  static constexpr size_t kBatchBytes = 256 << 10;
  static constexpr size_t kBatchLines = 4096;

  explicit SeriesReader(std::vector<std::string> paths);
  ~SeriesReader();
  SeriesReader(const SeriesReader&) = delete;
  SeriesReader& operator=(const SeriesReader&) = delete;

  // The next batch, nullptr after the last; valid until the next call. A failure of the
  // reading thread (out of memory) is thrown here, after the batches it handed on.
  const Batch* Next();

 private:
  void Run();
  // Hands `batch` on, waiting while kAhead wait; false once the reader is to stop.
  bool Hand(std::unique_ptr<Batch> batch);
  std::unique_ptr<Batch> Fresh(size_t file, bool first);

  std::vector<std::string> paths_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Batch>> ready_;
  std::vector<std::unique_ptr<Batch>> spare_;
  std::unique_ptr<Batch> current_;
  bool finished_ = false;  // the reader has handed on its last batch
  std::exception_ptr failure_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace qel::report
