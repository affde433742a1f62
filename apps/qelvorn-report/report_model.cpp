// Reading a log into a report: pairs each post line with the pre line of the same call
// on its thread's stack, and keeps only bounded figures while it reads.
#include "report_model.h"

#include <algorithm>

namespace qel::report {
namespace {

constexpr int64_t kHalfDayMs = kDayMs / 2;

// Heap order for the slowest calls: the top is the one to drop first.
bool Faster(const SlowCall& a, const SlowCall& b) {
  if (a.ms != b.ms) return a.ms > b.ms;
  return a.sequence < b.sequence;
}

}  // namespace

void ValueCounts::Add(uint64_t value) {
  for (auto& entry : values) {
    if (entry.first == value) {
      ++entry.second;
      return;
    }
  }
  if (values.size() < kLimit) {
    values.emplace_back(value, 1);
  } else {
    ++others;
  }
}

ReportBuilder::ReportBuilder(const ReportOptions& options) : options_(options) {}

void ReportBuilder::BeginFile(const std::string& name) {
  report_.files.push_back(name);
  place_.file = report_.files.size() - 1;
  place_.line = 0;
}

size_t ReportBuilder::FunctionIndex(std::string_view name) {
  auto found = functionIndex_.find(name);
  if (found != functionIndex_.end()) return found->second;
  FunctionStats& stats = report_.functions.emplace_back();
  stats.name = std::string(name);
  std::string key = stats.name;
  stats.selected = !options_.filterApi || AnyMatches(options_.api, key);
  size_t index = report_.functions.size() - 1;
  functionIndex_.emplace(std::string_view(stats.name), index);
  return index;
}

ThreadStats& ReportBuilder::Thread(int number) {
  if (lastThread_ != nullptr && lastThread_->number == number) return *lastThread_;
  ThreadStats& thread = report_.threads[number];
  thread.number = number;
  lastThread_ = &thread;
  return thread;
}

// Lines carry the time of day only: a step back by more than half a day is midnight.
int64_t ReportBuilder::Absolute(int64_t msOfDay) {
  int64_t time = day_ * kDayMs + msOfDay;
  if (latest_ >= 0 && time + kHalfDayMs < latest_) {
    ++day_;
    time += kDayMs;
  }
  latest_ = std::max(latest_, time);
  return time;
}

void ReportBuilder::Unparsed(std::string_view line, std::string reason) {
  ++report_.unparsed;
  if (report_.unparsedSamples.size() < Report::kSampleLimit) {
    report_.unparsedSamples.push_back({place_, std::move(reason), std::string(line)});
  }
}

void ReportBuilder::AddLine(std::string_view line, bool ended, uint64_t cut) {
  ++place_.line;
  ++report_.lines;
  // An overlong line is read from its head, which holds every column; wherever the line
  // is shown, a note stands for the rest.
  std::string noted;
  std::string_view shown = line;
  if (cut > 0) {
    ++report_.cutLines;
    noted.assign(line.data(), line.size());
    noted += " [" + std::to_string(cut) + " more bytes not read]";
    shown = noted;
  }
  if (!ended) {
    Unparsed(shown, "cut short: no line end");
    return;
  }
  ParsedLine parsed = ParseLine(line, section_);
  if (!FitsWidth(parsed)) {
    // Broken as a call line; not a module line, as any line that breaks that line's rules.
    if (parsed.kind == LineKind::kCall) {
      parsed.kind = LineKind::kBroken;
      parsed.problem = parsed.digits == 16 ? "16-digit columns in a log of 8-digit ones"
                                           : "8-digit columns in a log of 16-digit ones";
    } else {
      parsed.kind = LineKind::kText;
      parsed.nextSection = section_;
    }
  }
  Section before = section_;
  section_ = parsed.nextSection;
  switch (parsed.kind) {
    case LineKind::kCall:
      AddCall(parsed, shown);
      break;
    case LineKind::kDate:
      // A program can write a date line itself: only the clock of the call lines says
      // when a day begins, and the set-up time is where it starts.
      if (!report_.haveSetUp) {
        report_.haveSetUp = true;
        report_.setUpDay = parsed.day;
        report_.setUpMs = parsed.msOfDay;
        inFirstModules_ = true;
        if (report_.callLines == 0) latest_ = std::max(latest_, parsed.msOfDay);
      }
      ++report_.setUps;
      break;
    case LineKind::kModule:
      if (inFirstModules_) {
        report_.modules.push_back(
            {parsed.moduleBase, parsed.moduleEnd, std::string(parsed.modulePath)});
      }
      break;
    case LineKind::kTitle:
      if (section_ == Section::kApiListing) inFirstApiListing_ = report_.setUps <= 1;
      if (section_ != Section::kLoadedModules) inFirstModules_ = false;
      break;
    case LineKind::kListing:
      if (before == Section::kApiListing && inFirstApiListing_) ++report_.tracedFunctions;
      break;
    case LineKind::kNewThread: {
      ThreadStats& thread = Thread(parsed.thread);
      thread.id = parsed.threadId;
      thread.idKnown = true;
      break;
    }
    case LineKind::kCleanUp:
      ++report_.cleanUps;
      break;
    case LineKind::kText:
      ++report_.texts;
      if (report_.textSamples.size() < Report::kSampleLimit) {
        report_.textSamples.push_back({place_, "", std::string(shown)});
      }
      break;
    case LineKind::kBroken:
      Unparsed(shown, parsed.problem);
      break;
    case LineKind::kEmpty:
      break;
  }
}

// A log is written by one DLL, so all its address columns have one width: the first line
// that has them sets it.
bool ReportBuilder::FitsWidth(const ParsedLine& parsed) {
  if (parsed.kind != LineKind::kCall && parsed.kind != LineKind::kModule) return true;
  if (!widthKnown_) {
    widthKnown_ = true;
    report_.addressDigits = parsed.digits;
  }
  return parsed.digits == report_.addressDigits;
}

void ReportBuilder::AddCall(const ParsedLine& parsed, std::string_view line) {
  ++report_.callLines;
  int64_t time = Absolute(parsed.msOfDay);
  report_.lastTime = std::max(report_.lastTime, time);
  ThreadStats& thread = Thread(parsed.thread);
  if (parsed.post) {
    AddPost(parsed, line, thread, time);
  } else {
    AddPre(parsed, line, thread, time);
  }
}

void ReportBuilder::AddPre(const ParsedLine& parsed, std::string_view line, ThreadStats& thread,
                           int64_t time) {
  size_t function = FunctionIndex(parsed.api);
  FunctionStats& stats = report_.functions[function];
  bool selected = stats.selected && (options_.thread < 0 || options_.thread == parsed.thread);
  if (thread.depth == thread.stack.size()) thread.stack.emplace_back();
  OpenCall& open = thread.stack[thread.depth];
  size_t& innermost =
      thread.innermost.try_emplace(OpenKey{parsed.returnAddress, function}, kNoCall).first->second;
  open.below = innermost;
  innermost = thread.depth;
  open.start = time;
  open.returnAddress = parsed.returnAddress;
  open.function = function;
  open.selected = selected;
  open.line.assign(line.data(), line.size());
  open.place = place_;
  open.callIndex = -1;
  if (selected) {
    ++stats.calls;
    ++thread.calls;
    if (thread.first < 0) thread.first = time;
    thread.last = std::max(thread.last, time);
    if (options_.keepCalls) {
      CallRecord& record = report_.calls.emplace_back();
      record.thread = parsed.thread;
      record.depth = static_cast<int>(thread.depth);
      record.function = static_cast<uint32_t>(function);
      record.start = time;
      record.pre = open.line;
      open.callIndex = static_cast<int64_t>(report_.calls.size() - 1);
    }
  }
  ++thread.depth;
}

void ReportBuilder::AddPost(const ParsedLine& parsed, std::string_view line, ThreadStats& thread,
                            int64_t time) {
  size_t match = kNoCall;
  auto function = functionIndex_.find(parsed.api);
  if (function != functionIndex_.end()) {
    auto found = thread.innermost.find(OpenKey{parsed.returnAddress, function->second});
    if (found != thread.innermost.end()) match = found->second;
  }
  if (match == kNoCall) {
    Unparsed(line, "post line without its pre line");
    return;
  }
  // Calls opened above the match never got their post line.
  for (size_t i = thread.depth; i > match + 1; --i) {
    Close(thread, i - 1);
    const OpenCall& skipped = thread.stack[i - 1];
    Place here = place_;
    place_ = skipped.place;
    Unparsed(skipped.line, "pre line without its post line inside a call that returned");
    place_ = here;
  }
  Close(thread, match);
  thread.depth = match;
  const OpenCall& open = thread.stack[match];
  bool failed = parsed.lastError != 0 && parsed.lastError != thread.lastError;
  thread.lastError = parsed.lastError;
  if (!open.selected) return;
  int64_t ms = std::max<int64_t>(0, time - open.start);
  FunctionStats& stats = report_.functions[open.function];
  ++stats.completed;
  if (failed) ++stats.errorsSet;
  stats.totalMs += ms;
  stats.maxMs = std::max(stats.maxMs, ms);
  stats.results.Add(parsed.result);
  stats.lastErrors.Add(parsed.lastError);
  thread.last = std::max(thread.last, time);
  if (open.callIndex >= 0) {
    CallRecord& record = report_.calls[static_cast<size_t>(open.callIndex)];
    record.end = time;
    record.result = parsed.result;
    record.lastError = parsed.lastError;
    record.failed = failed;
    record.post.assign(line.data(), line.size());
  }
  ConsiderSlow(ms, open, line, parsed.thread);
}

// Takes the call at `position`, the innermost of its key, out of the index; a key without
// open calls goes, so the index stays as small as the stack.
void ReportBuilder::Close(ThreadStats& thread, size_t position) {
  const OpenCall& open = thread.stack[position];
  auto found = thread.innermost.find(OpenKey{open.returnAddress, open.function});
  if (open.below == kNoCall) {
    thread.innermost.erase(found);
  } else {
    found->second = open.below;
  }
}

void ReportBuilder::ConsiderSlow(int64_t ms, const OpenCall& open, std::string_view post,
                                 int thread) {
  if (options_.top == 0) return;
  SlowCall candidate;
  candidate.ms = ms;
  candidate.sequence = sequence_++;
  std::vector<SlowCall>& heap = report_.slowest;
  if (heap.size() >= options_.top && !Faster(candidate, heap.front())) return;
  candidate.thread = thread;
  candidate.pre = open.line;
  candidate.post = std::string(post);
  candidate.prePlace = open.place;
  if (heap.size() >= options_.top) {
    std::pop_heap(heap.begin(), heap.end(), Faster);
    heap.pop_back();
  }
  heap.push_back(std::move(candidate));
  std::push_heap(heap.begin(), heap.end(), Faster);
}

Report& ReportBuilder::Finish() {
  std::sort_heap(report_.slowest.begin(), report_.slowest.end(), Faster);
  const std::deque<FunctionStats>& functions = report_.functions;
  for (size_t i = 0; i < functions.size(); ++i) {
    if (functions[i].calls > 0) report_.calledByName.push_back(i);
  }
  std::sort(report_.calledByName.begin(), report_.calledByName.end(),
            [&](size_t a, size_t b) { return functions[a].name < functions[b].name; });
  return report_;
}

}  // namespace qel::report
