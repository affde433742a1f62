// Decoding call lines: pairs each post line with its pre line as the summary does, names
// the arguments from decode.txt and holds each line back until the calls before it have
// returned, so that calls appear in the order they were made.
#include "call_listing.h"

#include <charconv>
#include <iterator>
#include <utility>

#include "call_tree.h"
#include "shown_text.h"
#include "text_summary.h"

namespace qel::report {
namespace {

constexpr std::string_view kSeparator = ", ";

// Texts kept for reuse at most.
constexpr size_t kSpareTexts = 256;
// Decoded lines gathered before they go to the stream.
constexpr size_t kWriteChunk = 64 << 10;

// The clock column of a call line and the thread's number, right-aligned in 4 columns.
void AppendPrefix(std::string_view line, int thread, std::string* text) {
  char number[16];
  auto [end, error] = std::to_chars(number, number + sizeof number, thread);
  size_t length = error == std::errc() ? static_cast<size_t>(end - number) : 0;
  text->append(line.substr(0, 12));
  text->append(length < 4 ? 4 - length : 1, ' ');
  text->append(number, length);
  text->append("  ");
}

void AppendNumber(int64_t value, std::string* text) {
  char number[24];
  auto [end, error] = std::to_chars(number, number + sizeof number, value);
  if (error == std::errc()) text->append(number, static_cast<size_t>(end - number));
}

int64_t Duration(int64_t start, int64_t end) {
  return end >= start ? end - start : end + kDayMs - start;
}

}  // namespace

CallListing::CallListing(const ReportOptions& options, DefinitionsFor definitions,
                         std::ostream& out)
    : options_(options), definitionsFor_(std::move(definitions)), out_(out) {}

void CallListing::AddLine(std::string_view line, bool ended) {
  if (!ended) return;
  ParsedLine parsed = ParseLine(line, section_);
  if (Read(line, parsed)) AddCall(parsed, line);
}

void CallListing::AddLine(std::string_view line, bool ended, const ParsedLine& parsed) {
  if (ended && Read(line, parsed)) AddCall(parsed, line);
}

void CallListing::Learn(std::string_view line, bool ended) {
  if (ended) Read(line, ParseLine(line, section_));
}

void CallListing::Learn(std::string_view line, bool ended, const ParsedLine& parsed) {
  if (ended) Read(line, parsed);
}

// Takes what decoding needs from a line parsed in the current section; true for a call
// line of the log's width.
bool CallListing::Read(std::string_view line, const ParsedLine& parsed) {
  Section before = section_;
  section_ = parsed.nextSection;
  if (parsed.kind == LineKind::kListing && before == Section::kApiListing) {
    // "KERNEL32.dll, CreateFileA" and perhaps ", dup".
    size_t comma = line.find(kSeparator);
    if (comma == std::string_view::npos) return false;
    std::string_view name = line.substr(comma + kSeparator.size());
    name = name.substr(0, name.find(kSeparator));
    if (dllOf_.size() < 65536)
      dllOf_.emplace(std::string(name), std::string(line.substr(0, comma)));
    return false;
  }
  if (parsed.kind != LineKind::kCall && parsed.kind != LineKind::kModule) return false;
  if (digits_ == 0) {
    digits_ = parsed.digits;
    definitions_ = definitionsFor_ ? definitionsFor_(digits_) : nullptr;
    handles_.Begin(definitions_, digits_);
  }
  return parsed.digits == digits_ && parsed.kind == LineKind::kCall;
}

std::string CallListing::DecodePair(std::string_view pre, std::string_view post, bool failed) {
  ParsedLine parsed = ParseLine(pre, Section::kNone);
  if (parsed.kind != LineKind::kCall) return ShownText(pre);
  Api& api = ApiNamed(parsed.api);
  std::string text, option;
  LineArguments arguments = ArgumentsOf(parsed, api);
  DecodeCall(parsed, api, arguments, &text, &option);
  ParsedLine result = ParseLine(post, Section::kNone);
  if (result.kind == LineKind::kCall && result.post) {
    text += ' ';
    // The last error is shown where the call set a new one, as in the list.
    DecodeResult(result, api, failed ? ~result.lastError : result.lastError, &text);
  }
  if (!option.empty()) {
    text += " [";
    text += option;
    text += ']';
  }
  return ShownText(text);
}

CallListing::Api& CallListing::ApiNamed(std::string_view name) {
  size_t slot = 0;
  if (!name.empty()) {
    slot = (name.size() * 31 + static_cast<unsigned char>(name.back()) * 7 +
            static_cast<unsigned char>(name[name.size() / 2])) %
           kRecentApis;
    Api* recent = recentApis_[slot];
    if (recent != nullptr && recent->name == name) return *recent;
  }
  auto known = apiOf_.find(name);
  Api* api;
  if (known != apiOf_.end()) {
    api = known->second;
  } else {
    api = &apis_.emplace_back();
    api->name = std::string(name);
    api->shown = !options_.filterApi || AnyMatches(options_.api, api->name);
    apiOf_.emplace(std::string_view(api->name), api);
  }
  recentApis_[slot] = api;
  return *api;
}

LineArguments CallListing::ArgumentsOf(const ParsedLine& parsed, Api& api) {
  const FunctionDefinition* def = Definition(api);
  return LineArguments(parsed.tail, def != nullptr ? def->columns : 0, &fields_);
}

CallListing::ThreadCalls& CallListing::ThreadNumbered(int number) {
  bool slotted = number >= 0 && static_cast<size_t>(number) < kThreadSlots;
  if (slotted && static_cast<size_t>(number) < threadSlots_.size() &&
      threadSlots_[static_cast<size_t>(number)] != nullptr) {
    return *threadSlots_[static_cast<size_t>(number)];
  }
  ThreadCalls& thread = threads_[number];
  if (slotted) {
    if (threadSlots_.size() <= static_cast<size_t>(number)) {
      threadSlots_.resize(static_cast<size_t>(number) + 1);
    }
    threadSlots_[static_cast<size_t>(number)] = &thread;
  }
  return thread;
}

void CallListing::AddCall(const ParsedLine& parsed, std::string_view line) {
  Api& api = ApiNamed(parsed.api);
  LineArguments arguments = ArgumentsOf(parsed, api);
  // Handles are followed through every call, shown or not.
  handles_.Observe(parsed, api.handleRules, arguments);
  if (options_.thread >= 0 && options_.thread != parsed.thread) return;
  ThreadCalls& thread = ThreadNumbered(parsed.thread);
  if (!api.shown) {
    // A call left out still leaves its last error, as the summary counts errors.
    if (parsed.post) thread.lastError = parsed.lastError;
    return;
  }
  if (parsed.post) {
    AddPost(parsed, line, thread, api);
  } else {
    AddPre(parsed, line, thread, api, arguments);
  }
  Flush(false);
}

CallListing::Pending& CallListing::NewPending() {
  Pending& pending = pending_.emplace_back();
  if (!spareTexts_.empty()) {
    pending.text = std::move(spareTexts_.back());
    spareTexts_.pop_back();
  }
  return pending;
}

void CallListing::AddPre(const ParsedLine& parsed, std::string_view line, ThreadCalls& thread,
                         Api& api, LineArguments& arguments) {
  Open& open = thread.stack.emplace_back();
  open.returnAddress = parsed.returnAddress;
  open.api = &api;
  open.sequence = firstSequence_ + pending_.size();
  open.start = parsed.msOfDay;
  CallKey key{&api, open.returnAddress};
  auto counted = thread.openCount.find(key);
  if (counted == thread.openCount.end() && !spareCounts_.empty()) {
    OpenCounts::node_type node = std::move(spareCounts_.back());
    spareCounts_.pop_back();
    node.key() = key;
    node.mapped() = 0;
    counted = thread.openCount.insert(std::move(node)).position;
  } else if (counted == thread.openCount.end()) {
    counted = thread.openCount.emplace(key, 0).first;
  }
  open.count = &counted->second;
  ++*open.count;
  // Keys at zero go once they outnumber the open calls, which keeps the table small at a
  // cost spread over the calls.
  if (thread.openCount.size() > 2 * thread.stack.size() + 64) {
    for (auto it = thread.openCount.begin(); it != thread.openCount.end();) {
      auto next = std::next(it);
      if (it->second == 0 && spareCounts_.size() < kSpareCounts) {
        spareCounts_.push_back(thread.openCount.extract(it));
      } else if (it->second == 0) {
        thread.openCount.erase(it);
      }
      it = next;
    }
  }
  // The pre line's clock and thread lead the line, then the call; the rest waits for the
  // post line.
  Pending& pending = NewPending();
  AppendPrefix(line, parsed.thread, &pending.text);
  if (options_.tree) pending.text += TreeIndent(thread.stack.size() - 1);
  DecodeCall(parsed, api, arguments, &pending.text, &open.option);
  pending.thread = parsed.thread;
  pending.position = thread.stack.size() - 1;
}

void CallListing::AddPost(const ParsedLine& parsed, std::string_view line, ThreadCalls& thread,
                          Api& api) {
  // Most often the innermost open call is the one returning; else the innermost open call
  // of the key, and the calls opened above it never got their post line.
  bool innermost = !thread.stack.empty() && thread.stack.back().api == &api &&
                   thread.stack.back().returnAddress == parsed.returnAddress;
  if (!innermost) {
    auto found = thread.openCount.find(CallKey{&api, parsed.returnAddress});
    if (found == thread.openCount.end() || found->second == 0) return;
    size_t match = thread.stack.size();
    while (match > 0) {
      const Open& open = thread.stack[--match];
      if (open.api == &api && open.returnAddress == parsed.returnAddress) break;
    }
    while (thread.stack.size() > match + 1) Abandon(thread, "no post line: its caller returned");
  }
  --*thread.stack.back().count;
  Open open = std::move(thread.stack.back());
  thread.stack.pop_back();
  uint32_t previous = thread.lastError;
  thread.lastError = parsed.lastError;
  std::string* text;
  if (open.written) {
    // Its call was written unfinished; the result goes at the place of its post line.
    Pending& resumed = NewPending();
    resumed.done = true;
    text = &resumed.text;
    AppendPrefix(line, parsed.thread, text);
    if (options_.tree) *text += TreeIndent(thread.stack.size());
    *text += api.name;
    *text += " returned ";
  } else {
    Pending& pending = pending_[open.sequence - firstSequence_];
    pending.done = true;
    text = &pending.text;
    *text += ' ';
  }
  DecodeResult(parsed, api, previous, text);
  *text += " (";
  AppendNumber(Duration(open.start, parsed.msOfDay), text);
  *text += " ms)";
  if (!open.option.empty()) {
    *text += " [";
    *text += open.option;
    *text += ']';
  }
}

void CallListing::Abandon(ThreadCalls& thread, const char* why) {
  Open open = std::move(thread.stack.back());
  thread.stack.pop_back();
  --*open.count;
  if (open.written) return;
  Pending& pending = pending_[open.sequence - firstSequence_];
  pending.text += " ... ";
  pending.text += why;
  pending.done = true;
}

void CallListing::Flush(bool force) {
  WriteFront(force ? ~uint64_t{0} : 0, " ... (unfinished)");
  WriteOut(force);
}

// Writes the lines at the front that are done, and those before `through` whether done or
// not; a line held back past kPendingLimit goes too.
void CallListing::WriteFront(uint64_t through, const char* mark) {
  while (!pending_.empty()) {
    Pending& front = pending_.front();
    if (!front.done) {
      bool overdue = pending_.size() > kPendingLimit;
      if (!overdue && firstSequence_ >= through) break;
      // Written before its call returned, and its call marked so that its result follows
      // on a line of its own.
      ThreadNumbered(front.thread).stack[front.position].written = true;
      front.text += overdue ? " ... (unfinished)" : mark;
    }
    AppendShownText(front.text, &written_);
    written_ += '\n';
    if (spareTexts_.size() < kSpareTexts) {
      front.text.clear();
      spareTexts_.push_back(std::move(front.text));
    }
    pending_.pop_front();
    ++firstSequence_;
  }
}

void CallListing::WriteInFlight(uint64_t sequence) {
  WriteFront(sequence, " ... (in flight)");
  WriteOut(true);
}

void CallListing::Deliver() {
  WriteOut(true);
}

void CallListing::WriteOut(bool force) {
  if (written_.empty() || (!force && written_.size() < kWriteChunk)) return;
  out_.write(written_.data(), static_cast<std::streamsize>(written_.size()));
  written_.clear();
}

void CallListing::Finish() {
  for (auto& [number, thread] : threads_) {
    while (!thread.stack.empty()) Abandon(thread, "no post line: in flight at the end of the log");
  }
  Flush(true);
}

const FunctionDefinition* CallListing::Definition(Api& api) {
  if (definitions_ == nullptr) return nullptr;
  if (api.lookedUp) return api.definition;
  // A log names few functions; each is looked up once.
  auto dll = dllOf_.find(api.name);
  api.definition =
      definitions_->Find(dll == dllOf_.end() ? std::string_view() : dll->second, api.name);
  api.handleRules = handles_.RulesOf(api.definition, api.name);
  if (api.definition != nullptr) {
    for (const ParamDefinition& param : api.definition->params) {
      std::string& label = api.labels.emplace_back(api.labels.empty() ? "" : ", ");
      if (!param.name.empty()) label.append(param.name.data(), param.name.size()) += '=';
    }
  }
  api.lookedUp = true;
  return api.definition;
}

void CallListing::DecodeCall(const ParsedLine& parsed, Api& api, LineArguments& arguments,
                             std::string* out, std::string* option) {
  std::string& text = *out;
  text += parsed.api;
  const FunctionDefinition* def = Definition(api);
  if (def == nullptr || !arguments.Split()) {
    // No definitions, or a list of other columns: the columns as written.
    if (!parsed.tail.empty()) {
      text += " [columns: ";
      text += parsed.tail;
      text += ']';
    }
    return;
  }
  const std::vector<std::string_view>& fields = arguments.fields();
  option->assign(arguments.option().data(), arguments.option().size());
  text += '(';
  size_t at = 0;
  for (size_t i = 0; i < def->params.size(); ++i) {
    const ParamDefinition& param = def->params[i];
    text += api.labels[i];
    size_t width = param.codes.size();
    const ConstantSet* set = definitions_->Set(param.set);
    uint64_t value = 0;
    bool decimal = width == 1 && param.codes[0] == 'd';
    bool named = false;
    if (set != nullptr && width == 1 && ReadColumnValue(fields[at], decimal, &value)) {
      // A hex column is as wide as its value; a decimal one is 32 bits wide on x86, the
      // whole slot on x64.
      size_t size = fields[at].size();
      bool hex = !decimal && (size == 2 || size == 4 || size == 8 || size == 16);
      int bits = hex ? static_cast<int>(size) * 4 : digits_ * 4;
      named = AppendNameValue(*set, value, fields[at] == "(null)" ? digits_ * 4 : bits, &text);
    }
    if (!named && width == 1) {
      text += fields[at];
    } else if (!named) {
      text += '{';
      for (size_t k = 0; k < width; ++k) {
        if (k > 0) text += ", ";
        text += fields[at + k];
      }
      text += '}';
    }
    if (width == 1) handles_.AppendArgumentName(param, fields[at], &text);
    at += width;
  }
  text += ')';
}

void CallListing::DecodeResult(const ParsedLine& parsed, Api& api, uint32_t previousError,
                               std::string* text) {
  *text += "= ";
  const FunctionDefinition* def = Definition(api);
  const ConstantSet* set =
      def != nullptr && definitions_ != nullptr ? definitions_->Set(def->resultSet) : nullptr;
  if (set == nullptr || !AppendNameValue(*set, parsed.result, digits_ * 4, text)) {
    AppendHexDigits(parsed.result, digits_, text);
  }
  handles_.AppendResultName(api.handleRules, parsed.result, text);
  // As in the summary: a last error counts when the call set it anew.
  if (parsed.lastError != 0 && parsed.lastError != previousError) {
    *text += ", last error ";
    AppendErrorText(parsed.lastError, text);
  }
}

}  // namespace qel::report
