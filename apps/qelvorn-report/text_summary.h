// The plain-text summary of a report, as UTF-8.
#pragma once
#include <cstdint>
#include <ostream>
#include <string>

#include "report_model.h"

namespace qel::report {

void WriteTextSummary(const Report& report, const ReportOptions& options, std::ostream& out);

// "HH:MM:SS:mmm", with "+Nd" behind it from the day after the set-up on.
std::string FormatTime(int64_t time);
// "yyyy/mm/dd hh:mm:ss" of a day number and a time of day.
std::string FormatDate(int64_t day, int64_t ms);
// "00000003 ERROR_PATH_NOT_FOUND", or the hex alone when the code has no name.
std::string ErrorText(uint32_t code);
void AppendErrorText(uint32_t code, std::string* out);
std::string Hex8(uint32_t value);
// An address or a result in the log's width (Report::addressDigits).
std::string HexDigits(uint64_t value, int digits);
// The same appended to `out`.
void AppendHexDigits(uint64_t value, int digits, std::string* out);
// "file:line" of a place.
std::string PlaceText(const Report& report, const Place& place);

}  // namespace qel::report
