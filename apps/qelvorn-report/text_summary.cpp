// Text summary: the run, functions, threads, slowest calls, calls in flight, and the
// lines that were not tracer lines.
#include "text_summary.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "common/win32_errors.h"
#include "shown_text.h"

namespace qel::report {
namespace {

std::string Mean(int64_t total, uint64_t count) {
  if (count == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(total) / static_cast<double>(count));
  return text;
}

std::string Pad(const std::string& text, size_t width, bool right) {
  if (text.size() >= width) return text;
  std::string padding(width - text.size(), ' ');
  return right ? padding + text : text + padding;
}

// Results in `digits` hex digits, or last errors (32 bits) by name when `digits` is 0.
std::string Counts(const ValueCounts& counts, int digits) {
  std::string text;
  for (const auto& [value, count] : counts.values) {
    if (!text.empty()) text += ", ";
    text += (digits == 0 ? ErrorText(static_cast<uint32_t>(value)) : HexDigits(value, digits)) +
            " x" + std::to_string(count);
  }
  if (counts.others > 0) text += ", other values x" + std::to_string(counts.others);
  return text;
}

void WriteRun(const Report& report, std::ostream& out) {
  out << "Run\n";
  out << "  program     " << (report.program.empty() ? "(unknown)" : ShownText(report.program))
      << "\n";
  out << "  process     "
      << (report.pid < 0 ? std::string("(unknown)") : std::to_string(report.pid)) << "\n";
  out << "  set-up      "
      << (report.haveSetUp ? FormatDate(report.setUpDay, report.setUpMs) : "(not in the log)");
  if (report.setUps > 1) out << " and " << (report.setUps - 1) << " more";
  out << "\n";
  out << "  clean-up    " << (report.cleanUps > 0 ? "CleanUp OK" : "not in the log") << "\n";
  out << "  files       " << report.files.size() << "\n";
  for (const std::string& file : report.files) out << "    " << ShownText(file) << "\n";
  out << "  lines       " << report.lines << ": " << report.callLines << " call lines, "
      << report.texts << " texts, " << report.unparsed << " unparsed";
  if (report.cutLines > 0) out << ", " << report.cutLines << " cut at 1 MiB";
  out << "\n";
  out << "  functions   " << report.tracedFunctions << " traced\n";
  out << "  modules     " << report.modules.size() << " loaded at set-up\n";
  for (const Module& module : report.modules) {
    out << "    " << HexDigits(module.base, report.addressDigits) << " - "
        << HexDigits(module.end, report.addressDigits) << "  " << ShownText(module.path) << "\n";
  }
}

void WriteFunctions(const Report& report, std::ostream& out) {
  std::vector<const FunctionStats*> shown;
  for (size_t i : report.calledByName) shown.push_back(&report.functions[i]);
  size_t width = 8;
  for (const FunctionStats* stats : shown) width = std::max(width, stats->name.size());
  out << "\nFunctions (durations in ms)\n";
  out << "  " << Pad("function", width, false) << "  " << Pad("calls", 7, true) << " "
      << Pad("returned", 8, true) << " " << Pad("errors", 7, true) << " " << Pad("total", 8, true)
      << " " << Pad("mean", 8, true) << " " << Pad("max", 8, true) << "\n";
  for (const FunctionStats* stats : shown) {
    out << "  " << Pad(ShownText(stats->name), width, false) << "  "
        << Pad(std::to_string(stats->calls), 7, true) << " "
        << Pad(std::to_string(stats->completed), 8, true) << " "
        << Pad(std::to_string(stats->errorsSet), 7, true) << " "
        << Pad(std::to_string(stats->totalMs), 8, true) << " "
        << Pad(Mean(stats->totalMs, stats->completed), 8, true) << " "
        << Pad(stats->completed > 0 ? std::to_string(stats->maxMs) : "-", 8, true) << "\n";
    if (stats->completed == 0) continue;
    out << "  " << std::string(width, ' ') << "    results     "
        << Counts(stats->results, report.addressDigits) << "\n";
    out << "  " << std::string(width, ' ') << "    last errors " << Counts(stats->lastErrors, 0)
        << "\n";
  }
}

void WriteThreads(const Report& report, const ReportOptions& options, std::ostream& out) {
  out << "\nThreads\n";
  out << "  number  id        calls  first         last\n";
  for (const auto& [number, thread] : report.threads) {
    if (options.thread >= 0 && number != options.thread) continue;
    if (thread.calls == 0 && thread.depth == 0) continue;
    out << "  " << Pad(std::to_string(number), 6, true) << "  "
        << (thread.idKnown ? Hex8(thread.id) : std::string("?       ")) << "  "
        << Pad(std::to_string(thread.calls), 5, true) << "  "
        << (thread.first >= 0 ? FormatTime(thread.first) : "-") << "  "
        << (thread.last >= 0 ? FormatTime(thread.last) : "-") << "\n";
  }
}

void WriteSlowest(const Report& report, std::ostream& out) {
  out << "\nSlowest calls: " << report.slowest.size() << "\n";
  for (const SlowCall& call : report.slowest) {
    out << "  " << call.ms << " ms, thread " << call.thread << ", "
        << PlaceText(report, call.prePlace) << "\n";
    out << "    " << ShownText(call.pre) << "\n";
    out << "    " << ShownText(call.post) << "\n";
  }
}

// A deep stack shows its outermost and innermost calls, so that the section grows with
// the number of threads, not with the square of the depth.
constexpr size_t kShownEnds = 8;
constexpr size_t kIndentLimit = 2 * kShownEnds;

void WriteOpenCall(const Report& report, const OpenCall& call, size_t level, std::ostream& out) {
  std::string indent(2 * std::min(level, kIndentLimit), ' ');
  out << "    " << indent << "open for " << (report.lastTime - call.start)
      << " ms before the last time in the log, " << PlaceText(report, call.place) << "\n";
  out << "    " << indent << ShownText(call.line) << "\n";
}

void WriteInFlight(const Report& report, const ReportOptions& options, std::ostream& out) {
  uint64_t open = 0;
  for (const auto& [number, thread] : report.threads) {
    if (options.thread >= 0 && number != options.thread) continue;
    for (size_t i = 0; i < thread.depth; ++i) open += thread.stack[i].selected ? 1 : 0;
  }
  out << "\nCalls in flight at the end of the log: " << open << "\n";
  for (const auto& [number, thread] : report.threads) {
    if (options.thread >= 0 && number != options.thread) continue;
    std::vector<size_t> shown;
    for (size_t i = 0; i < thread.depth; ++i) {
      if (thread.stack[i].selected) shown.push_back(i);
    }
    if (shown.empty()) continue;
    out << "  thread " << number << " (" << (thread.idKnown ? Hex8(thread.id) : "id unknown")
        << "), outermost first:\n";
    if (shown.size() <= 2 * kShownEnds) {
      for (size_t i : shown) WriteOpenCall(report, thread.stack[i], i, out);
      continue;
    }
    // Levels count as shown: the gap is one level, the innermost calls follow it.
    for (size_t k = 0; k < kShownEnds; ++k) WriteOpenCall(report, thread.stack[shown[k]], k, out);
    size_t hidden = shown.size() - 2 * kShownEnds;
    out << "    " << std::string(2 * kShownEnds, ' ') << "... " << hidden << " level"
        << (hidden == 1 ? "" : "s") << " not shown\n";
    for (size_t k = 0; k < kShownEnds; ++k) {
      WriteOpenCall(report, thread.stack[shown[shown.size() - kShownEnds + k]], kShownEnds + 1 + k,
                    out);
    }
  }
}

void WriteRemarks(const Report& report, const std::vector<Remark>& samples, uint64_t total,
                  const char* title, std::ostream& out) {
  out << "\n" << title << ": " << total << "\n";
  for (const Remark& remark : samples) {
    out << "  " << PlaceText(report, remark.place);
    if (!remark.reason.empty()) out << " (" << remark.reason << ")";
    out << ": " << ShownText(remark.text) << "\n";
  }
  if (total > samples.size()) out << "  ... " << (total - samples.size()) << " more\n";
}

}  // namespace

// Written for every call of --calls, where a formatted print costs more than the rest of
// its result.
void AppendHexDigits(uint64_t value, int digits, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  char hex[16];
  size_t length = 0;
  do {
    hex[length++] = kHex[value & 15];
    value >>= 4;
  } while (value != 0 && length < sizeof hex);
  if (digits > 0 && static_cast<size_t>(digits) > length)
    out->append(static_cast<size_t>(digits) - length, '0');
  while (length > 0) out->push_back(hex[--length]);
}

std::string HexDigits(uint64_t value, int digits) {
  std::string text;
  AppendHexDigits(value, digits, &text);
  return text;
}

std::string Hex8(uint32_t value) {
  return HexDigits(value, 8);
}

std::string ErrorText(uint32_t code) {
  std::string text;
  AppendErrorText(code, &text);
  return text;
}

void AppendErrorText(uint32_t code, std::string* out) {
  AppendHexDigits(code, 8, out);
  if (const char* name = Win32ErrorName(code)) {
    *out += ' ';
    *out += name;
  }
}

std::string FormatTime(int64_t time) {
  int64_t day = time / kDayMs;
  int64_t ms = time % kDayMs;
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d:%03d", static_cast<int>(ms / 3600000),
                static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                static_cast<int>(ms % 1000));
  std::string result = text;
  if (day > 0) result += " +" + std::to_string(day) + "d";
  return result;
}

std::string FormatDate(int64_t day, int64_t ms) {
  // Civil date from a day number (proleptic Gregorian).
  int64_t z = day + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  char text[48];
  std::snprintf(text, sizeof text, "%lld/%02d/%02d %02d:%02d:%02d", static_cast<long long>(y),
                static_cast<int>(m), static_cast<int>(d), static_cast<int>(ms / 3600000),
                static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60));
  return text;
}

std::string PlaceText(const Report& report, const Place& place) {
  std::string file = place.file < report.files.size() ? ShownText(report.files[place.file]) : "?";
  return file + ":" + std::to_string(place.line);
}

void WriteTextSummary(const Report& report, const ReportOptions& options, std::ostream& out) {
  WriteRun(report, out);
  WriteFunctions(report, out);
  WriteThreads(report, options, out);
  WriteSlowest(report, out);
  WriteInFlight(report, options, out);
  WriteRemarks(report, report.unparsedSamples, report.unparsed, "Unparsed lines", out);
  WriteRemarks(report, report.textSamples, report.texts, "Texts (QelWriteLog_ and other lines)",
               out);
}

}  // namespace qel::report
