// Command-line handling of qelvorn-report and the single pass over the series.
#include "report_command.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

#include "call_listing.h"
#include "common/hook_list_maker.h"
#include "html_page.h"
#include "log_follow.h"
#include "log_series.h"
#include "report_model.h"
#include "series_reader.h"
#include "shown_text.h"
#include "text_summary.h"

namespace qel::report {
namespace {

constexpr char kUsage[] =
    "usage: qelvorn-report [--html FILE] [--top N] [--api PATTERNS] [--thread N]\n"
    "                      [--calls [--tree]] [--lists DIR] LOG [LOG...]\n"
    "       qelvorn-report --follow [--lists DIR] [--api PATTERNS] [--thread N] [--top N]\n"
    "                      [--html FILE] LOG\n"
    "\n"
    "Reads a trace log, or the rolled series of one process (files, a folder, or a pattern\n"
    "such as 'logs/$$$app*$$$(412).txt'), and prints a summary in UTF-8: the run, per\n"
    "function calls, results, last errors and durations, per thread calls and times, the\n"
    "slowest calls, the calls still in flight at the end of the log, and the lines that\n"
    "could not be parsed.\n"
    "\n"
    "  --html FILE      also write a self-contained page with a timeline and a table of\n"
    "                   the calls, decoded as for --calls, their lines a click away\n"
    "  --top N          how many of the slowest calls to show (default 10)\n"
    "  --api PATTERNS   only functions matching these comma-separated globs (* and ?)\n"
    "  --thread N       only the thread with this number\n"
    "  --calls          instead of the summary, every call on one line in the order made:\n"
    "                   time, thread, Name(parameter=value, ...) = result, duration, with\n"
    "                   constants, error codes and handles by name\n"
    "  --tree           with --calls, each call made while another call of its thread\n"
    "                   is in flight (a callback) indented under it\n"
    "  --lists DIR      the folder of decode.txt (x64/decode.txt for a 64-bit log) for\n"
    "                   --calls, --follow and --html; by default lists/ beside this\n"
    "                   program, then ../lists\n"
    "  --follow         read a log while it is written: each call decoded as for --calls\n"
    "                   when it returns (a call open for a second is shown in flight, its\n"
    "                   result later), on through the files the log rolls over to, until\n"
    "                   CleanUp OK, the end of the process (Windows only) or Ctrl+C; then\n"
    "                   the summary. LOG is the file, or a folder or pattern of which the\n"
    "                   most recently written log is taken\n"
    "  --help           this text\n"
    "\n"
    "Exit codes: 0 done; 1 wrong command line; 2 an input cannot be found or read;\n"
    "3 an input is not a trace log, or the files belong to more than one process;\n"
    "4 the summary or the HTML page cannot be written; 5 an unexpected failure (such as\n"
    "no memory).\n";

// The lines of a log's head that decide whether it is one.
constexpr int kProbeLines = 16;

bool ParseCount(const std::string& text, long long limit, long long* value) {
  if (text.empty() || text.size() > 10) return false;
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > limit) return false;
  *value = v;
  return true;
}

// Empty, a log, or something else: a log holds a line only the tracer writes near its top.
enum class Probe { kEmpty, kLog, kForeign };

// `wholeLines`: a line without its line end (one being written) does not count.
Result<Probe> ProbeFile(const std::string& path, bool wholeLines = false) {
  const std::string unreadable = EscapeControls(path) + ": cannot be read";
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return Fail(unreadable);
  LineReader reader(file);
  ReadLine line;
  Section section = Section::kNone;
  Probe probe = Probe::kEmpty;
  for (int i = 0; i < kProbeLines && reader.Next(&line); ++i) {
    if (wholeLines && !line.ended) break;
    probe = Probe::kForeign;
    if (line.text.find('\0') != std::string_view::npos) break;
    ParsedLine parsed = ParseLine(line.text, section);
    section = parsed.nextSection;
    if (parsed.kind != LineKind::kText && parsed.kind != LineKind::kBroken &&
        parsed.kind != LineKind::kEmpty) {
      probe = Probe::kLog;
      break;
    }
  }
  bool failed = reader.Failed();
  std::fclose(file);
  if (failed) return Fail(unreadable);
  return probe;
}

// The decoding table of a log's width from the first of `dirs` that has one; a note on
// `err` when none can be read, and the calls keep their columns as written.
std::unique_ptr<CallDefinitions> LoadDefinitions(const std::vector<std::string>& dirs, int digits,
                                                 std::ostream& err) {
  const std::string file = digits == 16 ? "/x64/decode.txt" : "/decode.txt";
  std::string tried;
  for (const std::string& dir : dirs) {
    std::string path = dir + file;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
      tried += (tried.empty() ? "" : ", ") + EscapeControls(path);
      continue;
    }
    Result<CallDefinitions> loaded = CallDefinitions::Load(path);
    if (loaded) return std::make_unique<CallDefinitions>(std::move(loaded).value());
    err << "qelvorn-report: " << loaded.message() << "\n";
    return nullptr;
  }
  err << "qelvorn-report: no decoding table (" << tried
      << "): calls are shown with their columns as written\n";
  return nullptr;
}

// Loads the table of a log's width when the listing first asks, into *held.
DefinitionsFor DefinitionsLoader(const std::vector<std::string>& dirs, std::ostream& err,
                                 std::unique_ptr<CallDefinitions>* held) {
  return [&dirs, &err, held](int digits) {
    *held = LoadDefinitions(dirs, digits, err);
    return held->get();
  };
}

std::atomic<bool> g_stopFollowing{false};

extern "C" void StopFollowing(int) {
  g_stopFollowing = true;
}

// Writes the summary, and the page when asked for with its calls decoded by `listing`; the
// exit code.
int WriteResults(ReportBuilder& builder, CallListing& listing, const ReportOptions& options,
                 const std::string& program, long long pid, bool summary, const std::string& html,
                 std::ostream& out, std::ostream& err) {
  Report& report = builder.Finish();
  report.program = program;
  report.pid = pid;
  if (summary) WriteTextSummary(report, options, out);
  // A full disk or a closed pipe must not pass for a written summary.
  if (!out.flush()) {
    err << "qelvorn-report: cannot write the summary\n";
    return kExitOutput;
  }
  if (!html.empty()) {
    for (CallRecord& call : report.calls)
      call.decoded = listing.DecodePair(call.pre, call.post, call.failed);
    std::ofstream page(html, std::ios::binary | std::ios::trunc);
    if (page) WriteHtmlPage(report, options, page);
    if (!page || !page.flush()) {
      err << "qelvorn-report: " << EscapeControls(html) << ": cannot write the page\n";
      return kExitOutput;
    }
  }
  return kExitOk;
}

// --follow: the most recently written of the logs named, read as it grows.
int Follow(const std::string& input, ReportOptions options, const std::string& html,
           const std::vector<std::string>& dirs, std::ostream& out, std::ostream& err) {
  Result<std::vector<LogFile>> found = FindLogFiles({input});
  if (!found) {
    err << "qelvorn-report: " << found.message() << "\n";
    return kExitUnreadable;
  }
  const LogFile* newest = nullptr;
  std::filesystem::file_time_type newestTime;
  for (const LogFile& file : found.value()) {
    std::error_code error;
    std::filesystem::file_time_type time = std::filesystem::last_write_time(file.path, error);
    if (!error && (newest == nullptr || time > newestTime)) {
      newest = &file;
      newestTime = time;
    }
  }
  if (newest == nullptr) {
    err << "qelvorn-report: " << EscapeControls(input) << ": cannot be read\n";
    return kExitUnreadable;
  }
  LogFile file = *newest;
  // File times may be as coarse as a second: of the files of its process written in the
  // same one, the oldest in the ring is taken, and the following reads on to the others.
  std::vector<LogFile> ties;
  if (ParseSeriesName(file.name, &file)) {
    for (const LogFile& other : found.value()) {
      LogFile tie = other;
      std::error_code error;
      if (ParseSeriesName(tie.name, &tie) && tie.program == file.program && tie.pid == file.pid &&
          std::filesystem::last_write_time(tie.path, error) == newestTime && !error) {
        ties.push_back(tie);
      }
    }
  }
  if (ties.size() > 1) {
    std::sort(ties.begin(), ties.end(),
              [](const LogFile& a, const LogFile& b) { return a.slot < b.slot; });
    std::vector<int> slots;
    for (const LogFile& tie : ties) slots.push_back(tie.slot);
    file = ties[RingStartCandidates(slots).front()];
  }
  Result<Probe> probe = ProbeFile(file.path, true);
  if (!probe) {
    err << "qelvorn-report: " << probe.message() << "\n";
    return kExitUnreadable;
  }
  if (probe.value() == Probe::kForeign) {
    err << "qelvorn-report: " << EscapeControls(file.path) << ": not a trace log\n";
    return kExitNotALog;
  }
  options.keepCalls = !html.empty();
  ReportBuilder builder(options);
  std::unique_ptr<CallDefinitions> definitions;
  CallListing listing(options, DefinitionsLoader(dirs, err, &definitions), out);
  FollowSettings settings;
  settings.stop = &g_stopFollowing;
  settings.processGone = TracedProcessGone;
  g_stopFollowing = false;
  auto previous = std::signal(SIGINT, StopFollowing);
  FollowResult result = FollowLog(file, settings, builder, listing, out);
  std::signal(SIGINT, previous == SIG_ERR ? SIG_DFL : previous);
  listing.Finish();
  err << "qelvorn-report: " << result.message << "\n";
  if (result.end == FollowEnd::kReadError) return kExitUnreadable;
  out << "\n";
  LogFile named;
  ParseSeriesName(file.name, &named);
  return WriteResults(builder, listing, options, named.program, named.pid, true, html, out, err);
}

}  // namespace

int RunReport(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  ReportOptions options;
  std::string html;
  bool calls = false;
  bool follow = false;
  std::string listsDir;
  std::vector<std::string> inputs;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (arg == "--help" || arg == "-h") {
      out << kUsage;
      return kExitOk;
    }
    bool takesValue = arg == "--html" || arg == "--top" || arg == "--api" || arg == "--thread" ||
                      arg == "--lists";
    if (takesValue && i + 1 >= arguments.size()) {
      err << "qelvorn-report: " << EscapeControls(arg) << " needs a value\n" << kUsage;
      return kExitUsage;
    }
    long long number = 0;
    if (arg == "--html") {
      html = arguments[++i];
    } else if (arg == "--calls") {
      calls = true;
    } else if (arg == "--tree") {
      options.tree = true;
    } else if (arg == "--follow") {
      follow = true;
    } else if (arg == "--lists") {
      listsDir = arguments[++i];
    } else if (arg == "--top") {
      if (!ParseCount(arguments[++i], 1000000, &number)) {
        err << "qelvorn-report: --top takes a number from 0 to 1000000\n";
        return kExitUsage;
      }
      options.top = static_cast<size_t>(number);
    } else if (arg == "--api") {
      options.filterApi = true;
      options.api = ParseNamePatterns(arguments[++i]);
    } else if (arg == "--thread") {
      if (!ParseCount(arguments[++i], 999999999, &number)) {
        err << "qelvorn-report: --thread takes a thread number\n";
        return kExitUsage;
      }
      options.thread = static_cast<int>(number);
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      err << "qelvorn-report: unknown option " << EscapeControls(arg) << "\n" << kUsage;
      return kExitUsage;
    } else if (arg != "--") {
      inputs.push_back(arg);
    }
  }
  if (inputs.empty()) {
    err << "qelvorn-report: no log named\n" << kUsage;
    return kExitUsage;
  }
  if (options.tree && !calls) {
    err << "qelvorn-report: --tree goes with --calls\n";
    return kExitUsage;
  }
  if (follow && (calls || inputs.size() != 1)) {
    err << "qelvorn-report: --follow takes one log, and decodes its calls without --calls\n";
    return kExitUsage;
  }
  if (!listsDir.empty() && !calls && !follow && html.empty()) {
    err << "qelvorn-report: --lists goes with --calls, --follow or --html\n";
    return kExitUsage;
  }
  std::error_code folderError;
  if (!listsDir.empty() && !std::filesystem::is_directory(listsDir, folderError)) {
    err << "qelvorn-report: " << EscapeControls(listsDir) << ": not a folder\n";
    return kExitUnreadable;
  }
  std::vector<std::string> dirs =
      listsDir.empty() ? DefaultListsDirs() : std::vector<std::string>{listsDir};
  if (follow) return Follow(inputs.front(), options, html, dirs, out, err);
  Result<std::vector<LogFile>> found = FindLogFiles(inputs);
  if (!found) {
    err << "qelvorn-report: " << found.message() << "\n";
    return kExitUnreadable;
  }
  Result<Series> formed = FormSeries(std::move(found).value());
  if (!formed) {
    err << "qelvorn-report: " << formed.message() << "\n";
    return kExitNotALog;
  }
  const Series& series = formed.value();
  std::vector<LogFile> files;
  for (const LogFile& file : series.files) {
    Result<Probe> probe = ProbeFile(file.path);
    if (!probe) {
      err << "qelvorn-report: " << probe.message() << "\n";
      return kExitUnreadable;
    }
    switch (probe.value()) {
      case Probe::kForeign:
        err << "qelvorn-report: " << EscapeControls(file.path) << ": not a trace log\n";
        return kExitNotALog;
      case Probe::kEmpty:
        err << "qelvorn-report: " << EscapeControls(file.path) << ": empty, skipped\n";
        break;
      case Probe::kLog:
        files.push_back(file);
        break;
    }
  }
  if (files.empty()) {
    err << "qelvorn-report: no trace log lines in the input\n";
    return kExitNotALog;
  }

  options.keepCalls = !html.empty();
  ReportBuilder builder(options);
  std::unique_ptr<CallDefinitions> definitions;
  CallListing listing(options, DefinitionsLoader(dirs, err, &definitions), out);
  std::vector<std::string> paths;
  for (const LogFile& file : files) paths.push_back(file.path);
  SeriesReader reader(std::move(paths));
  // The decoded calls need the summary's figures only for the page.
  bool summarise = !calls || !html.empty();
  while (const SeriesReader::Batch* batch = reader.Next()) {
    const LogFile& file = files[batch->file];
    if (batch->end == SeriesReader::FileEnd::kUnopened) {
      err << "qelvorn-report: " << EscapeControls(file.path) << ": cannot be read\n";
      return kExitUnreadable;
    }
    if (batch->first) builder.BeginFile(file.name);
    for (const SeriesReader::Line& line : batch->lines) {
      const ReadLine& read = line.read;
      if (summarise) builder.AddLine(read.text, read.ended, read.cut);
      if (calls) {
        listing.AddLine(read.text, read.ended, line.parsed);
      } else if (!html.empty()) {
        listing.Learn(read.text, read.ended, line.parsed);
      }
    }
    if (batch->end == SeriesReader::FileEnd::kReadError) {
      err << "qelvorn-report: " << EscapeControls(file.path) << ": read error\n";
      return kExitUnreadable;
    }
  }
  if (calls) listing.Finish();
  return WriteResults(builder, listing, options, series.program, series.pid, !calls, html, out,
                      err);
}

}  // namespace qel::report
