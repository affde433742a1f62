// libFuzzer target: the input is one log file, read as qelvorn-report reads it (split into
// lines, each line parsed and counted) and written out as the summary and the HTML page.
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string_view>

#include "html_page.h"
#include "log_series.h"
#include "report_model.h"
#include "text_summary.h"

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
  LineReader reader(file);
  ReadLine line;
  while (reader.Next(&line)) builder.AddLine(line.text, line.ended, line.cut);
  std::fclose(file);
  Report& report = builder.Finish();
  std::ostringstream summary;
  WriteTextSummary(report, options, summary);
  std::ostringstream page;
  WriteHtmlPage(report, options, page);
  return 0;
}
