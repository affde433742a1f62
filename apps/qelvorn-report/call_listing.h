// The decoded call list of qelvorn-report --calls: one line per call in the order of its pre
// line, with named arguments and constants, the result by name and its duration.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "call_definitions.h"
#include "handle_names.h"
#include "log_line.h"
#include "report_model.h"

namespace qel::report {

// The definitions for a log of `digits`-wide columns (8: the 32-bit DLL, 16: the 64-bit one),
// or nullptr when there are none; asked once, when the first line tells the width.
using DefinitionsFor = std::function<const CallDefinitions*(int digits)>;

// Splits the option column and the arguments of a call line's tail into `count` argument
// fields taken from the end (texts may hold ", " themselves) and the option before them;
// false when the tail does not hold `count` fields.
bool SplitArguments(std::string_view tail, size_t count, std::string_view* option,
                    std::vector<std::string_view>* arguments);

class CallListing {
 public:
  // Lines held back behind a call that has not returned, at most; past it the oldest is
  // written as unfinished, and its result follows on a line of its own.
  static constexpr size_t kPendingLimit = 1 << 16;

  CallListing(const ReportOptions& options, DefinitionsFor definitions, std::ostream& out);
  CallListing(const CallListing&) = delete;
  CallListing& operator=(const CallListing&) = delete;

  // One line without its line end; `ended` false when the line end is missing.
  void AddLine(std::string_view line, bool ended);
  // Writes the calls still waiting: those in flight at the end of the log.
  void Finish();

 private:
  struct Pending {
    bool done = false;
    std::string text;  // cp932 as in the log until written
    // Until done: where its call is open, which stays put while it is open.
    int thread = 0;
    size_t position = 0;
  };
  struct Open {
    uint64_t returnAddress = 0;
    std::string api;
    uint64_t sequence = 0;
    int64_t start = 0;
    std::string call;  // "Name(arguments)"
    std::string option;
    bool written = false;  // written as unfinished already
  };
  struct ThreadCalls {
    std::vector<Open> stack;
    std::unordered_map<std::string, std::vector<size_t>> positions;
    uint32_t lastError = 0;
  };

  void AddCall(const ParsedLine& parsed, std::string_view line);
  void AddPre(const ParsedLine& parsed, std::string_view line, ThreadCalls& thread);
  void AddPost(const ParsedLine& parsed, std::string_view line, ThreadCalls& thread);
  void Abandon(ThreadCalls& thread, const char* why);
  void Complete(const Open& open, std::string text);
  void Flush(bool force);
  const FunctionDefinition* Definition(std::string_view api);
  std::string DecodeCall(const ParsedLine& parsed, std::string* option);
  std::string DecodeResult(const ParsedLine& parsed, uint32_t previousError);

  ReportOptions options_;
  DefinitionsFor definitionsFor_;
  const CallDefinitions* definitions_ = nullptr;
  std::ostream& out_;
  Section section_ = Section::kNone;
  int digits_ = 0;
  std::unordered_map<std::string, std::string> dllOf_;  // function -> DLL, from the api listing
  // The definition of each function the log named, by name (kept in apiNames_).
  std::deque<std::string> apiNames_;
  std::unordered_map<std::string_view, const FunctionDefinition*> definitionOf_;
  std::unordered_map<int, ThreadCalls> threads_;
  std::deque<Pending> pending_;
  uint64_t firstSequence_ = 0;
  HandleNames handles_;
};

}  // namespace qel::report
