// The listing lines' texts and their writes through listingBuilder.
#include "tracelog/listing_lines.h"

#include "tracelog/line_builder.h"
#include "tracelog/trace_log.h"

namespace qelvorn {

namespace {

constexpr char kApiListingStart[] =
    "\r\n[api listing start *****************************************]\r\n";
constexpr char kApiListingEnd[] = "\r\n[api listing end]\r\n";
constexpr char kModuleListingStart[] =
    "\r\n[module listing start *****************************************]";
constexpr char kModuleListingEnd[] = "\r\n[module listing end]\r\n";

bool AppendPair(const char* first, const char* second) {
  return listingBuilder.AppendText(first) && listingBuilder.AppendText(", ") &&
         listingBuilder.AppendText(second);
}

}  // namespace

bool WriteApiListingStart() {
  return WriteLine(kApiListingStart, true);
}

bool WriteApiListingEnd() {
  return WriteLine(kApiListingEnd, true);
}

bool BeginApiLine(const char* moduleName, const char* name) {
  listingBuilder.Clear();
  return AppendPair(moduleName, name);
}

bool EndApiLine(bool duplicate) {
  if (duplicate && !listingBuilder.AppendText(", dup")) return false;
  return listingBuilder.Flush(true);
}

void DropApiLine() {
  listingBuilder.Clear();
}

bool WriteModuleListingStart() {
  return WriteLine(kModuleListingStart, true);
}

bool WriteModuleListingEnd() {
  return WriteLine(kModuleListingEnd, true);
}

bool WriteModuleLine(const char* name, ModuleLine line) {
  listingBuilder.Clear();
  if (!listingBuilder.Flush(true) || !listingBuilder.AppendText(name)) return false;
  switch (line) {
    case ModuleLine::kNotLoaded:
      if (!listingBuilder.AppendText(", not loaded")) return false;
      break;
    case ModuleLine::kAlreadyDone:
      if (!listingBuilder.AppendText(", already done")) return false;
      break;
    case ModuleLine::kNotReady:
      if (!listingBuilder.AppendText(", not ready")) return false;
      break;
    case ModuleLine::kPatching:
      break;
  }
  return listingBuilder.Flush(true);
}

bool WriteImportLine(const char* moduleName, const char* importedName, ImportLine line,
                     int32_t count) {
  listingBuilder.Clear();
  if (!AppendPair(moduleName, importedName)) return false;
  bool appended = true;
  switch (line) {
    case ImportLine::kNotLoaded:
      appended = listingBuilder.AppendText(", not loaded");
      break;
    case ImportLine::kFailed:
      appended = listingBuilder.AppendText(", NG");
      break;
    case ImportLine::kHooked:
      appended = listingBuilder.AppendText(", ") && listingBuilder.AppendInt(count);
      break;
    case ImportLine::kRestored:
      appended = listingBuilder.AppendText(", ") && listingBuilder.AppendText("-") &&
                 listingBuilder.AppendInt(count);
      break;
  }
  return appended && listingBuilder.Flush(true);
}

}  // namespace qelvorn
