// libFuzzer target: the input is one log file, read as qelvorn-report reads it (split into
// lines, each line parsed and counted) and written out as the summary and the HTML page,
// and as --calls lists it with the decoding tables of lists/, handle names and all; then
// read again on the reading thread, as a series is, which must list the same calls.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string_view>
#include <utility>

#include "call_definitions.h"
#include "call_listing.h"
#include "html_page.h"
#include "log_series.h"
#include "report_model.h"
#include "series_reader.h"
#include "text_summary.h"

namespace {

qel::report::CallDefinitions Tables(const char* path) {
  auto loaded = qel::report::CallDefinitions::Load(path);
  return loaded ? std::move(loaded).value() : qel::report::CallDefinitions();
}

// The calls of the log in `data` as SeriesReader hands its lines on, parsed on its thread.
std::string CallsReadAhead(const uint8_t* data, size_t size,
                           const qel::report::ReportOptions& options,
                           const qel::report::DefinitionsFor& definitions) {
  using namespace qel::report;
  char path[] = "/tmp/qel-fuzz-report-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) std::abort();
  bool written = write(fd, data, size) == static_cast<ssize_t>(size);
  close(fd);
  if (!written) std::abort();
  std::ostringstream calls;
  {
    CallListing listing(options, definitions, calls);
    SeriesReader reader({path});
    while (const SeriesReader::Batch* batch = reader.Next()) {
      for (const SeriesReader::Line& line : batch->lines) {
        listing.AddLine(line.read.text, line.read.ended, line.parsed);
      }
    }
    listing.Finish();
  }
  unlink(path);
  return calls.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qel::report;
  // fmemopen refuses an empty buffer; an empty log has no lines to read anyway.
  if (size == 0) return 0;
  std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (file == nullptr) return 0;
  ReportOptions options;
  options.keepCalls = true;
  ReportBuilder builder(options);
  builder.BeginFile("$$$fuzz00$$$(1).txt");
  // The real tables, read once: the log is what is fuzzed here, not the tables.
  static const CallDefinitions x86 = Tables(QEL_SOURCE_DIR "/lists/decode.txt");
  static const CallDefinitions x64 = Tables(QEL_SOURCE_DIR "/lists/x64/decode.txt");
  DefinitionsFor definitions = [](int digits) { return digits == 16 ? &x64 : &x86; };
  std::ostringstream calls;
  CallListing listing(options, definitions, calls);
  LineReader reader(file);
  ReadLine line;
  while (reader.Next(&line)) {
    builder.AddLine(line.text, line.ended, line.cut);
    listing.AddLine(line.text, line.ended);
  }
  listing.Finish();
  std::fclose(file);
  Report& report = builder.Finish();
  std::ostringstream summary;
  WriteTextSummary(report, options, summary);
  std::ostringstream page;
  WriteHtmlPage(report, options, page);
  if (CallsReadAhead(data, size, options, definitions) != calls.str()) std::abort();
  return 0;
}
