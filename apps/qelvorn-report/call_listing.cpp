// Decoding call lines: pairs each post line with its pre line as the summary does, names
// the arguments from decode.txt and holds each line back until the calls before it have
// returned, so that calls appear in the order they were made.
#include "call_listing.h"

#include <utility>

#include "call_tree.h"
#include "shown_text.h"
#include "text_summary.h"

namespace qel::report {
namespace {

constexpr std::string_view kSeparator = ", ";

// Where a text column starts: the formatters write "..." and, for a null pointer that may
// be a resource number, (null)"...".
bool StartsText(std::string_view field) {
  return (!field.empty() && field.front() == '"') || field.substr(0, 7) == "(null)\"";
}

// A value column: decimal for the d code, else hex as the formatters write it, zero-padded
// to 2, 4, 8 or 16 digits; a list of one's own may write d where decode.txt says hex, so a
// column of any other width is read as decimal.
bool ParseNumber(std::string_view field, bool decimal, uint64_t* value) {
  if (field == "(null)") {
    *value = 0;
    return true;
  }
  size_t size = field.size();
  // Hex columns are 2, 4, 8 or 16 digits wide; any other width is a decimal.
  if (!decimal && (size == 2 || size == 4 || size == 8 || size == 16)) {
    return ReadHexText(field, value);
  }
  if (size == 0 || size > 20) return false;
  uint64_t v = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (~uint64_t{0} - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

// A call's function and return address, which its post line repeats.
std::string Key(std::string_view api, uint64_t returnAddress) {
  std::string key;
  key.reserve(api.size() + sizeof returnAddress);
  key.append(api.data(), api.size());
  key.append(reinterpret_cast<const char*>(&returnAddress), sizeof returnAddress);
  return key;
}

// The clock column of a call line and the thread's number.
std::string Prefix(std::string_view line, int thread) {
  std::string number = std::to_string(thread);
  return std::string(line.substr(0, 12)) +
         std::string(number.size() < 4 ? 4 - number.size() : 1, ' ') + number + "  ";
}

int64_t Duration(int64_t start, int64_t end) {
  return end >= start ? end - start : end + kDayMs - start;
}

}  // namespace

bool SplitArguments(std::string_view tail, size_t count, std::string_view* option,
                    std::vector<std::string_view>* arguments) {
  arguments->assign(count, std::string_view());
  size_t end = tail.size();
  for (size_t filled = 0; filled < count; ++filled) {
    // The field is the piece after the last separator before `end`, widened to the left
    // while it closes a text that it does not open.
    size_t before = end;
    for (;;) {
      if (before < kSeparator.size()) return false;
      size_t separator = tail.rfind(kSeparator, before - kSeparator.size());
      if (separator == std::string_view::npos) return false;
      size_t start = separator + kSeparator.size();
      std::string_view field = tail.substr(start, end - start);
      if (field.empty() || field.back() != '"' || StartsText(field)) {
        (*arguments)[count - 1 - filled] = field;
        end = separator;
        break;
      }
      before = separator;
    }
  }
  *option = tail.substr(0, end);
  return true;
}

CallListing::CallListing(const ReportOptions& options, DefinitionsFor definitions,
                         std::ostream& out)
    : options_(options), definitionsFor_(std::move(definitions)), out_(out) {}

void CallListing::AddLine(std::string_view line, bool ended) {
  if (!ended) return;
  ParsedLine parsed = ParseLine(line, section_);
  Section before = section_;
  section_ = parsed.nextSection;
  if (parsed.kind == LineKind::kListing && before == Section::kApiListing) {
    // "KERNEL32.dll, CreateFileA" and perhaps ", dup".
    size_t comma = line.find(kSeparator);
    if (comma == std::string_view::npos) return;
    std::string_view name = line.substr(comma + kSeparator.size());
    name = name.substr(0, name.find(kSeparator));
    if (dllOf_.size() < 65536)
      dllOf_.emplace(std::string(name), std::string(line.substr(0, comma)));
    return;
  }
  if (parsed.kind != LineKind::kCall && parsed.kind != LineKind::kModule) return;
  if (digits_ == 0) {
    digits_ = parsed.digits;
    definitions_ = definitionsFor_ ? definitionsFor_(digits_) : nullptr;
    handles_.Begin(definitions_, digits_);
  }
  if (parsed.digits != digits_ || parsed.kind != LineKind::kCall) return;
  AddCall(parsed, line);
}

void CallListing::AddCall(const ParsedLine& parsed, std::string_view line) {
  // Handles are followed through every call, shown or not.
  handles_.Observe(parsed, Definition(parsed.api));
  if (options_.thread >= 0 && options_.thread != parsed.thread) return;
  ThreadCalls& thread = threads_[parsed.thread];
  if (options_.filterApi && !AnyMatches(options_.api, std::string(parsed.api))) {
    // A call left out still leaves its last error, as the summary counts errors.
    if (parsed.post) thread.lastError = parsed.lastError;
    return;
  }
  if (parsed.post) {
    AddPost(parsed, line, thread);
  } else {
    AddPre(parsed, line, thread);
  }
  Flush(false);
}

void CallListing::AddPre(const ParsedLine& parsed, std::string_view line, ThreadCalls& thread) {
  Open& open = thread.stack.emplace_back();
  open.returnAddress = parsed.returnAddress;
  open.api = std::string(parsed.api);
  open.sequence = firstSequence_ + pending_.size();
  open.start = parsed.msOfDay;
  open.call = DecodeCall(parsed, &open.option);
  // The pre line's clock and thread lead the line; the rest waits for the post line.
  Pending& pending = pending_.emplace_back();
  pending.text = Prefix(line, parsed.thread);
  if (options_.tree) pending.text += TreeIndent(thread.stack.size() - 1);
  pending.thread = parsed.thread;
  pending.position = thread.stack.size() - 1;
  thread.positions[Key(open.api, open.returnAddress)].push_back(thread.stack.size() - 1);
}

void CallListing::AddPost(const ParsedLine& parsed, std::string_view line, ThreadCalls& thread) {
  auto found = thread.positions.find(Key(parsed.api, parsed.returnAddress));
  if (found == thread.positions.end() || found->second.empty()) return;
  size_t match = found->second.back();
  // Calls opened above the match never got their post line.
  while (thread.stack.size() > match + 1) Abandon(thread, "no post line: its caller returned");
  found->second.pop_back();
  if (found->second.empty()) thread.positions.erase(found);
  Open open = std::move(thread.stack.back());
  thread.stack.pop_back();
  uint32_t previous = thread.lastError;
  thread.lastError = parsed.lastError;
  std::string text = DecodeResult(parsed, previous) + " (" +
                     std::to_string(Duration(open.start, parsed.msOfDay)) + " ms)";
  if (!open.option.empty()) text += " [" + open.option + "]";
  if (open.written) {
    // Its call was written unfinished; the result goes at the place of its post line.
    Pending& resumed = pending_.emplace_back();
    resumed.done = true;
    resumed.text = Prefix(line, parsed.thread);
    if (options_.tree) resumed.text += TreeIndent(thread.stack.size());
    resumed.text += std::string(parsed.api) + " returned " + text;
    return;
  }
  Complete(open, open.call + " " + text);
}

void CallListing::Abandon(ThreadCalls& thread, const char* why) {
  Open open = std::move(thread.stack.back());
  thread.stack.pop_back();
  auto found = thread.positions.find(Key(open.api, open.returnAddress));
  if (found != thread.positions.end()) {
    found->second.pop_back();
    if (found->second.empty()) thread.positions.erase(found);
  }
  if (!open.written) Complete(open, open.call + " ... " + why);
}

void CallListing::Complete(const Open& open, std::string text) {
  Pending& pending = pending_[open.sequence - firstSequence_];
  pending.text += text;
  pending.done = true;
}

void CallListing::Flush(bool force) {
  while (!pending_.empty()) {
    Pending& front = pending_.front();
    if (!front.done) {
      if (!force && pending_.size() <= kPendingLimit) return;
      // Held back too long: written unfinished, and its call marked so that its result
      // follows on a line of its own.
      Open& open = threads_[front.thread].stack[front.position];
      open.written = true;
      front.text += open.call + " ... (unfinished)";
    }
    out_ << ShownText(front.text) << '\n';
    pending_.pop_front();
    ++firstSequence_;
  }
}

void CallListing::Finish() {
  for (auto& [number, thread] : threads_) {
    while (!thread.stack.empty()) Abandon(thread, "no post line: in flight at the end of the log");
  }
  Flush(true);
}

const FunctionDefinition* CallListing::Definition(std::string_view api) {
  if (definitions_ == nullptr) return nullptr;
  auto known = definitionOf_.find(api);
  if (known != definitionOf_.end()) return known->second;
  auto dll = dllOf_.find(std::string(api));
  const FunctionDefinition* def =
      definitions_->Find(dll == dllOf_.end() ? std::string_view() : dll->second, api);
  // A log names few functions; each is looked up once.
  const std::string& name = apiNames_.emplace_back(api);
  definitionOf_.emplace(std::string_view(name), def);
  return def;
}

std::string CallListing::DecodeCall(const ParsedLine& parsed, std::string* option) {
  std::string text(parsed.api);
  const FunctionDefinition* def = Definition(parsed.api);
  size_t columns = 0;
  if (def != nullptr) {
    for (const ParamDefinition& param : def->params) columns += param.codes.size();
  }
  std::string_view optionColumn;
  std::vector<std::string_view> fields;
  if (def == nullptr || !SplitArguments(parsed.tail, columns, &optionColumn, &fields)) {
    // No definitions, or a list of other columns: the columns as written.
    if (!parsed.tail.empty()) text += " [columns: " + std::string(parsed.tail) + "]";
    return text;
  }
  option->assign(optionColumn.data(), optionColumn.size());
  text += '(';
  size_t at = 0;
  for (size_t i = 0; i < def->params.size(); ++i) {
    const ParamDefinition& param = def->params[i];
    if (i > 0) text += ", ";
    if (!param.name.empty()) {
      text += param.name;
      text += '=';
    }
    size_t width = param.codes.size();
    const ConstantSet* set = definitions_->Set(param.set);
    std::string named;
    uint64_t value = 0;
    bool decimal = param.codes == "d";
    if (set != nullptr && width == 1 && ParseNumber(fields[at], decimal, &value)) {
      // A hex column is as wide as its value; a decimal one is 32 bits wide on x86, the
      // whole slot on x64.
      size_t size = fields[at].size();
      bool hex = !decimal && (size == 2 || size == 4 || size == 8 || size == 16);
      int bits = hex ? static_cast<int>(size) * 4 : digits_ * 4;
      named = NameValue(*set, value, fields[at] == "(null)" ? digits_ * 4 : bits);
    }
    if (!named.empty()) {
      text += named;
    } else if (width == 1) {
      text += fields[at];
    } else {
      text += '{';
      for (size_t k = 0; k < width; ++k) {
        if (k > 0) text += ", ";
        text += fields[at + k];
      }
      text += '}';
    }
    if (width == 1) text += handles_.ArgumentName(param, fields[at]);
    at += width;
  }
  text += ')';
  return text;
}

std::string CallListing::DecodeResult(const ParsedLine& parsed, uint32_t previousError) {
  std::string text = "= ";
  const FunctionDefinition* def = Definition(parsed.api);
  const ConstantSet* set =
      def != nullptr && definitions_ != nullptr ? definitions_->Set(def->resultSet) : nullptr;
  std::string named = set != nullptr ? NameValue(*set, parsed.result, digits_ * 4) : "";
  text += named.empty() ? HexDigits(parsed.result, digits_) : named;
  text += handles_.ResultName(parsed.api, def, parsed.result);
  // As in the summary: a last error counts when the call set it anew.
  if (parsed.lastError != 0 && parsed.lastError != previousError) {
    text += ", last error " + ErrorText(parsed.lastError);
  }
  return text;
}

}  // namespace qel::report
