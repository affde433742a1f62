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
  // The same for a line parsed already in the section the lines before it left, as
  // SeriesReader parses it.
  void AddLine(std::string_view line, bool ended, const ParsedLine& parsed);
  // Only what decoding needs of a line (the log's width, each function's DLL), for a
  // listing that decodes the page's calls with DecodePair rather than listing them.
  void Learn(std::string_view line, bool ended);
  void Learn(std::string_view line, bool ended, const ParsedLine& parsed);
  // One call as the page shows it, "Name(arguments) = result [option]" in UTF-8, from its
  // pre line and its post line (empty while in flight); `failed`: it set a new last error.
  std::string DecodePair(std::string_view pre, std::string_view post, bool failed);
  // Writes the calls still waiting: those in flight at the end of the log.
  void Finish();

  // For a log still being written: the number the next call line will take, and writing
  // the lines before `sequence` that still wait, their calls marked in flight (their
  // results follow on lines of their own); then everything written so far goes to the
  // stream.
  uint64_t NextSequence() const { return firstSequence_ + pending_.size(); }
  void WriteInFlight(uint64_t sequence);
  void Deliver();

 private:
  // A function the log named: its name, kept for the calls that point at it, and what is
  // known of it, looked up once.
  struct Api {
    std::string name;
    const FunctionDefinition* definition = nullptr;
    const HandleNames::Rules* handleRules = nullptr;
    // What leads each argument in a decoded call: ", " after the first, and "name=".
    std::vector<std::string> labels;
    bool lookedUp = false;
    bool shown = true;  // passes --api
  };
  struct Pending {
    bool done = false;
    // cp932 as in the log until written: the clock and thread, then the decoded call.
    std::string text;
    // Until done: where its call is open, which stays put while it is open.
    int thread = 0;
    size_t position = 0;
  };
  struct Open {
    uint64_t returnAddress = 0;
    const Api* api = nullptr;
    uint64_t sequence = 0;
    int64_t start = 0;
    // Its key's count in openCount; an entry stays put while it counts an open call.
    size_t* count = nullptr;
    std::string option;
    bool written = false;  // written as unfinished already
  };
  // A call's function and return address, which its post line repeats.
  struct CallKey {
    const Api* api;
    uint64_t returnAddress;
    bool operator==(const CallKey& other) const {
      return api == other.api && returnAddress == other.returnAddress;
    }
  };
  struct CallKeyHash {
    size_t operator()(const CallKey& key) const {
      return std::hash<const void*>()(key.api) ^ (key.returnAddress * 0x9e3779b97f4a7c15ull);
    }
  };
  using OpenCounts = std::unordered_map<CallKey, size_t, CallKeyHash>;
  struct ThreadCalls {
    std::vector<Open> stack;
    // How many calls of each key are open; a post line whose key has none is passed over
    // without searching the stack.
    OpenCounts openCount;
    uint32_t lastError = 0;
  };

  Api& ApiNamed(std::string_view name);
  ThreadCalls& ThreadNumbered(int number);
  // The arguments of a call line of `api`, split as its definition says when first asked.
  LineArguments ArgumentsOf(const ParsedLine& parsed, Api& api);
  bool Read(std::string_view line, const ParsedLine& parsed);
  void AddCall(const ParsedLine& parsed, std::string_view line);
  void AddPre(const ParsedLine& parsed, std::string_view line, ThreadCalls& thread, Api& api,
              LineArguments& arguments);
  void AddPost(const ParsedLine& parsed, std::string_view line, ThreadCalls& thread, Api& api);
  void Abandon(ThreadCalls& thread, const char* why);
  Pending& NewPending();
  void Flush(bool force);
  void WriteFront(uint64_t through, const char* mark);
  void WriteOut(bool force);
  const FunctionDefinition* Definition(Api& api);
  void DecodeCall(const ParsedLine& parsed, Api& api, LineArguments& arguments, std::string* text,
                  std::string* option);
  void DecodeResult(const ParsedLine& parsed, Api& api, uint32_t previousError, std::string* text);

  ReportOptions options_;
  DefinitionsFor definitionsFor_;
  const CallDefinitions* definitions_ = nullptr;
  std::ostream& out_;
  Section section_ = Section::kNone;
  int digits_ = 0;
  std::unordered_map<std::string, std::string> dllOf_;  // function -> DLL, from the api listing
  // Every function the log named, by name (the keys point into the entries).
  std::deque<Api> apis_;
  std::unordered_map<std::string_view, Api*> apiOf_;
  // The functions met last, by a cheap hash of the name: most lines name one of a few.
  static constexpr size_t kRecentApis = 256;
  Api* recentApis_[kRecentApis] = {};
  std::unordered_map<int, ThreadCalls> threads_;
  // The threads numbered below kThreadSlots, by number: threads are numbered from 1 up.
  static constexpr size_t kThreadSlots = 1024;
  std::vector<ThreadCalls*> threadSlots_;
  // Entries of keys no call counts any more, kept for new keys: calls come from many return
  // addresses, and an entry made anew for each would cost an allocation per call.
  static constexpr size_t kSpareCounts = 1024;
  std::vector<OpenCounts::node_type> spareCounts_;
  std::deque<Pending> pending_;
  uint64_t firstSequence_ = 0;
  HandleNames handles_;
  // Texts of written lines kept for new ones, and the written lines not yet handed to the
  // stream: a line at a time costs more than the decoding.
  std::vector<std::string> spareTexts_;
  std::string written_;
  std::vector<std::string_view> fields_;
};

}  // namespace qel::report
