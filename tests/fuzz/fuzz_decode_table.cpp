// libFuzzer target: the input is a decode.txt, read as qelvorn-report reads it, then used to
// decode a few call lines of each width as --calls does.
#include <cstdint>
#include <sstream>
#include <string_view>

#include "call_definitions.h"
#include "call_listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qel::report;
  CallDefinitions defs =
      CallDefinitions::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  static constexpr const char* kLogs[][2] = {
      {"01:00:00:000,   1, 00401000,         ,         , CreateFileA <a.exe>, , \"a, b\", "
       "80000000, 00000000, (null), 00000003, 00000000, (null)",
       "01:00:00:001,   1, 00401000, ffffffff, 00000002, CreateFileA <a.exe>, , \"a, b\", "
       "80000000, 00000000, (null), 00000003, 00000000, (null)"},
      {"01:00:00:000,   1, 0000000140001000,                 ,         , WaitForSingleObject "
       "<a.exe>, INFINITE, 0000000000000068, 4294967295",
       "01:00:00:001,   1, 0000000140001000, 0000000000000102, 00000000, WaitForSingleObject "
       "<a.exe>, , 0000000000000068, 4294967295"},
  };
  for (const auto& log : kLogs) {
    std::ostringstream out;
    ReportOptions options;
    CallListing listing(
        options, [&](int) { return &defs; }, out);
    for (const char* line : log) listing.AddLine(line, true);
    listing.Finish();
  }
  return 0;
}
