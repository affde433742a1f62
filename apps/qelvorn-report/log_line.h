// One line of a trace log taken apart by the column rules the tracer writes it with.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace qel::report {

// The parts of the log that change how a line is read.
enum class Section { kNone, kLoadedModules, kApiListing, kModuleListing };

enum class LineKind {
  kEmpty,
  kDate,       // set-up time, the first line of a log
  kTitle,      // a section title or the column header line
  kModule,     // a line of the loaded-module listing
  kListing,    // a line of the api or module listing
  kNewThread,  // "new thread : (  n) id"
  kCall,       // a pre or post line
  kCleanUp,    // "CleanUp OK"
  kText,       // anything else: text the host wrote itself
  kBroken,     // starts as a tracer line but breaks its rules
};

struct ParsedLine {
  LineKind kind = LineKind::kText;
  Section nextSection = Section::kNone;  // the section the following lines are in
  // kDate: days since 1970-01-01 and milliseconds of the day.
  int64_t day = 0;
  int64_t msOfDay = 0;
  // kModule, kCall: hex digits of the address columns, 8 in a 32-bit log, 16 in a 64-bit one.
  int digits = 0;
  // kModule
  uint64_t moduleBase = 0;
  uint64_t moduleEnd = 0;
  std::string_view modulePath;
  // kNewThread, kCall
  int thread = 0;
  uint32_t threadId = 0;
  // kCall
  bool post = false;
  uint64_t returnAddress = 0;
  uint64_t result = 0;
  uint32_t lastError = 0;
  std::string_view api;     // function name
  std::string_view caller;  // module that made the call, may be empty
  // The option column and the arguments, as written; empty when the line ends after the
  // function column.
  std::string_view tail;
  // kBroken: why.
  const char* problem = nullptr;
};

// Where the first line end (CR LF) at or after `from` begins in `bytes`, npos when there is
// none. The tracer ends its lines with CR LF; a bare LF or CR belongs to the text around it.
size_t FindLineEnd(std::string_view bytes, size_t from);

// Reads one line (without its line end) found in `section`. Any bytes are fine: the line
// may hold NULs, bare LFs and CRs, and need not be text. Address columns of either width
// are read; whether a line's width fits its log is for the caller to decide.
ParsedLine ParseLine(std::string_view line, Section section);

// The whole of text read as 1 to 16 hex digits of either case.
bool ReadHexText(std::string_view text, uint64_t* value);

// An argument column's value: (null) as 0, decimal for the d code, else hex as the
// formatters write it, 2, 4, 8 or 16 digits; a list of one's own may write d where the
// definitions say hex, so a column of any other width is read as decimal.
bool ReadColumnValue(std::string_view field, bool decimal, uint64_t* value);

// Splits the option column and the arguments of a call line's tail into `count` argument
// fields taken from the end (texts may hold ", " themselves) and the option before them;
// false when the tail does not hold `count` fields.
bool SplitArguments(std::string_view tail, size_t count, std::string_view* option,
                    std::vector<std::string_view>* arguments);

// The argument fields of one call line, split when first asked for: the handle table and
// the decoder both read most lines, and splitting is the larger part of reading a line.
class LineArguments {
 public:
  // `fields` is storage kept across lines, so that splitting allocates nothing.
  LineArguments(std::string_view tail, size_t count, std::vector<std::string_view>* fields)
      : tail_(tail), count_(count), fields_(fields) {}
  // False when the tail does not hold the fields.
  bool Split();
  std::string_view option() const { return option_; }
  const std::vector<std::string_view>& fields() const { return *fields_; }

 private:
  enum class State { kNotYet, kSplit, kUnsplittable };
  std::string_view tail_;
  size_t count_;
  std::vector<std::string_view>* fields_;
  std::string_view option_;
  State state_ = State::kNotYet;
};

// Days since 1970-01-01 of a civil date.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);

}  // namespace qel::report
