// qelvorn-report --follow: reads a log while the tracer still writes it, hands each whole
// line to the summary and the decoded call list as it arrives, and goes on to the next
// file of the series when the tracer rolls over.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>

#include "call_listing.h"
#include "log_series.h"
#include "report_model.h"

namespace qel::report {

// A file that grows: hands on only lines whose CR LF has arrived, so a line the writer is
// halfway through is never read as a whole one. A line longer than LineReader::kLineLimit
// keeps its head, as the reader of finished logs does.
class TailReader {
 public:
  explicit TailReader(std::FILE* file) : file_(file) {}
  TailReader(const TailReader&) = delete;
  TailReader& operator=(const TailReader&) = delete;

  // Reads on from where the last read ended: one chunk at most, `got` 0 at the end of
  // what is written so far. False on a read error.
  bool Read(size_t* got);
  // The next whole line read so far; its text stays valid until the next call.
  bool Next(ReadLine* line);
  // What is left without a line end, once the file is known to be complete.
  bool Rest(ReadLine* line);

 private:
  void Append(const char* bytes, size_t size);

  std::FILE* file_;
  std::string buffer_;
  size_t begin_ = 0;
  std::string line_;       // the line handed on last, when it was an overlong one
  bool skipping_ = false;  // past the head of an overlong line, until its CR LF
  bool skippedCr_ = false;
  bool overlongDone_ = false;
  uint64_t cut_ = 0;
};

struct FollowSettings {
  // The pause when nothing new has arrived.
  std::chrono::milliseconds poll{100};
  // A call open this long is written as in flight; its result follows on a line of its own.
  std::chrono::milliseconds inFlight{1000};
  // Set to end the following (Ctrl+C); looked at between reads.
  const std::atomic<bool>* stop = nullptr;
  // Whether the process with this id has ended; false when it cannot tell.
  std::function<bool(long long pid)> processGone;
};

enum class FollowEnd { kCleanUp, kProcessGone, kStopped, kReadError };

struct FollowResult {
  FollowEnd end = FollowEnd::kStopped;
  std::string message;  // what ended it, for the standard error
};

// Follows `file` (a log being written) to its end, and the files the tracer rolls on to:
// each line goes to `builder` and `listing`, and the decoded calls are written to `out`
// as they complete. Ends at the line CleanUp OK, when the traced process is gone and its
// last file read, at `stop`, or at a read error.
FollowResult FollowLog(const LogFile& file, const FollowSettings& settings, ReportBuilder& builder,
                       CallListing& listing, std::ostream& out);

// Whether the process has ended, asked of the system: on Windows by waiting on it; a
// build for another system cannot see the guest's processes and answers false.
bool TracedProcessGone(long long pid);

// Opens a log for reading while its writer may still write it, and may delete it when its
// ring comes round again.
std::FILE* OpenSharedForReading(const std::string& path);

}  // namespace qel::report
