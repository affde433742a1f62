// The self-contained HTML page of a report: summary tables, a per-thread timeline drawn on
// a canvas, and a filterable call table that renders only its visible rows.
#pragma once
#include <ostream>

#include "report_model.h"

namespace qel::report {

void WriteHtmlPage(const Report& report, const ReportOptions& options, std::ostream& out);

}  // namespace qel::report
