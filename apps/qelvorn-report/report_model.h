// What a report knows after reading a log: the run, per-function and per-thread figures,
// the slowest calls, the calls still open at the end, and the lines it could not use.
// Memory grows with the number of distinct functions, threads and open calls, not with
// the length of the log; only the call list for the HTML page grows with it.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/name_patterns.h"
#include "log_line.h"

namespace qel::report {

constexpr int64_t kDayMs = 86400000;

struct ReportOptions {
  size_t top = 10;
  bool filterApi = false;
  NamePatterns api;
  int thread = -1;         // -1: every thread
  bool keepCalls = false;  // keep every call for the HTML page
  bool tree = false;       // --calls: nested calls indented under their caller
};

// Where a line came from: index into the report's file names and 1-based line number.
struct Place {
  size_t file = 0;
  uint64_t line = 0;
};

// Distinct values with their counts, up to a fixed number; later new values are only
// counted as others.
struct ValueCounts {
  static constexpr size_t kLimit = 8;
  std::vector<std::pair<uint64_t, uint64_t>> values;
  uint64_t others = 0;
  void Add(uint64_t value);
};

struct FunctionStats {
  std::string name;
  bool selected = true;
  uint64_t calls = 0;      // pre lines
  uint64_t completed = 0;  // pre lines paired with their post line
  uint64_t errorsSet = 0;  // completed calls that left a new non-zero last error
  int64_t totalMs = 0;
  int64_t maxMs = 0;
  ValueCounts results;
  ValueCounts lastErrors;
};

constexpr size_t kNoCall = static_cast<size_t>(-1);

struct OpenCall {
  int64_t start = 0;
  uint64_t returnAddress = 0;
  size_t function = 0;
  bool selected = false;
  int64_t callIndex = -1;  // into Report::calls when kept
  std::string line;        // the pre line, as written (cp932)
  Place place;
  size_t below = kNoCall;  // stack position of the next open call with the same key, further out
};

// A post line belongs to the innermost open call of its function from its return address.
struct OpenKey {
  uint64_t returnAddress = 0;
  size_t function = 0;
  bool operator==(const OpenKey& other) const {
    return returnAddress == other.returnAddress && function == other.function;
  }
};

struct OpenKeyHash {
  size_t operator()(const OpenKey& key) const {
    return std::hash<uint64_t>()((static_cast<uint64_t>(key.function) << 32) ^ key.returnAddress);
  }
};

struct ThreadStats {
  int number = 0;
  uint32_t id = 0;
  bool idKnown = false;
  uint64_t calls = 0;
  int64_t first = -1;
  int64_t last = -1;
  uint32_t lastError = 0;
  std::vector<OpenCall> stack;  // entries beyond `depth` are kept for their buffers
  size_t depth = 0;
  // Stack position of the innermost open call of each key, so that a post line finds its
  // pre line, or finds it has none, without walking the stack.
  std::unordered_map<OpenKey, size_t, OpenKeyHash> innermost;
};

struct SlowCall {
  int64_t ms = 0;
  uint64_t sequence = 0;
  int thread = 0;
  std::string pre;
  std::string post;
  Place prePlace;
};

struct Remark {
  Place place;
  std::string reason;
  std::string text;  // as written (cp932)
};

struct Module {
  uint64_t base = 0;
  uint64_t end = 0;
  std::string path;
};

// One call for the page.
struct CallRecord {
  int thread = 0;
  int depth = 0;
  uint32_t function = 0;
  int64_t start = 0;
  int64_t end = -1;  // -1: still open at the end of the log
  uint64_t result = 0;
  uint32_t lastError = 0;
  bool failed = false;
  std::string pre;
  std::string post;
  std::string decoded;  // UTF-8, filled for the page after the log is read
};

struct Report {
  std::vector<std::string> files;
  // Hex digits of addresses and results: 8 from the 32-bit DLL, 16 from the 64-bit one. The
  // first line that has such a column decides for the whole log.
  int addressDigits = 8;
  std::string program;
  long long pid = -1;
  bool haveSetUp = false;
  int64_t setUpDay = 0;  // days since 1970-01-01
  int64_t setUpMs = 0;
  int setUps = 0;
  std::vector<Module> modules;   // the listing at the first set-up
  uint64_t tracedFunctions = 0;  // lines of the first api listing
  uint64_t lines = 0;
  uint64_t callLines = 0;
  uint64_t texts = 0;
  uint64_t unparsed = 0;
  uint64_t cutLines = 0;  // lines longer than LineReader::kLineLimit
  int cleanUps = 0;
  int64_t lastTime = -1;
  std::deque<FunctionStats> functions;
  // Indexes into functions of those called at least once, by name; made by Finish.
  std::vector<size_t> calledByName;
  std::map<int, ThreadStats> threads;
  std::vector<SlowCall> slowest;  // heap while reading, sorted by Finish
  std::vector<Remark> unparsedSamples;
  std::vector<Remark> textSamples;
  std::vector<CallRecord> calls;
  static constexpr size_t kSampleLimit = 20;
};

class ReportBuilder {
 public:
  explicit ReportBuilder(const ReportOptions& options);
  ReportBuilder(const ReportBuilder&) = delete;
  ReportBuilder& operator=(const ReportBuilder&) = delete;

  void BeginFile(const std::string& name);
  // One line without its line end; `ended` false when the line end is missing, `cut` the
  // bytes of an overlong line that were not read.
  void AddLine(std::string_view line, bool ended, uint64_t cut = 0);
  // Puts the slowest calls in order; the report is complete afterwards.
  Report& Finish();

 private:
  bool FitsWidth(const ParsedLine& parsed);
  void AddCall(const ParsedLine& parsed, std::string_view line);
  void AddPre(const ParsedLine& parsed, std::string_view line, ThreadStats& thread, int64_t time);
  void AddPost(const ParsedLine& parsed, std::string_view line, ThreadStats& thread, int64_t time);
  void Unparsed(std::string_view line, std::string reason);
  void Close(ThreadStats& thread, size_t position);
  void ConsiderSlow(int64_t ms, const OpenCall& open, std::string_view post, int thread);
  size_t FunctionIndex(std::string_view name);
  ThreadStats& Thread(int number);
  int64_t Absolute(int64_t msOfDay);

  ReportOptions options_;
  Report report_;
  Section section_ = Section::kNone;
  Place place_;
  int64_t day_ = 0;
  int64_t latest_ = -1;
  uint64_t sequence_ = 0;
  bool inFirstApiListing_ = false;
  bool inFirstModules_ = false;
  bool widthKnown_ = false;
  std::unordered_map<std::string_view, size_t> functionIndex_;
  ThreadStats* lastThread_ = nullptr;
};

}  // namespace qel::report
