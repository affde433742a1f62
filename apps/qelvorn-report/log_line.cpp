// Line parser: follows the fixed column widths of the tracer's lines, and reads the
// free-form tail (options and arguments, which may hold ", " inside texts) not at all.
#include "log_line.h"

namespace qel::report {
namespace {

constexpr std::string_view kSeparator = ", ";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool At(std::string_view text, size_t at, std::string_view piece) {
  return text.size() >= at + piece.size() && text.substr(at, piece.size()) == piece;
}

bool ReadHex(std::string_view text, size_t at, size_t count, uint64_t* value) {
  if (text.size() < at + count) return false;
  uint64_t v = 0;
  for (size_t i = at; i < at + count; ++i) {
    int h = HexValue(text[i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(h);
  }
  *value = v;
  return true;
}

bool ReadHex8(std::string_view text, size_t at, uint32_t* value) {
  uint64_t v;
  if (!ReadHex(text, at, 8, &v)) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

// An address column at `at` followed by `next`: its width, 8 (32-bit DLL) or 16 (64-bit
// DLL), or 0 when it is neither.
size_t AddressColumn(std::string_view text, size_t at, std::string_view next, uint64_t* value) {
  for (size_t digits : {size_t{8}, size_t{16}}) {
    if (ReadHex(text, at, digits, value) && At(text, at + digits, next)) return digits;
  }
  return 0;
}

// Reads `count` digits at `at`; false unless all are digits.
bool ReadDigits(std::string_view text, size_t at, size_t count, int64_t* value) {
  if (text.size() < at + count) return false;
  int64_t v = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (!IsDigit(text[i])) return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

bool AllSpaces(std::string_view text, size_t at, size_t count) {
  if (text.size() < at + count) return false;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] != ' ') return false;
  }
  return true;
}

// "HH:MM:SS:mmm" at the start of the line.
bool ReadClock(std::string_view line, int64_t* ms) {
  int64_t h, m, s, milli;
  if (!ReadDigits(line, 0, 2, &h) || line[2] != ':' || !ReadDigits(line, 3, 2, &m) ||
      line[5] != ':' || !ReadDigits(line, 6, 2, &s) || line[8] != ':' ||
      !ReadDigits(line, 9, 3, &milli)) {
    return false;
  }
  if (h > 23 || m > 59 || s > 59) return false;
  *ms = ((h * 60 + m) * 60 + s) * 1000 + milli;
  return true;
}

// "yyyy/mm/dd hh:mm:ss" as the whole line; the year may have fewer or more digits.
bool ReadDateTime(std::string_view line, int64_t* day, int64_t* ms) {
  size_t slash = line.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash > 5) return false;
  int64_t year, month, dayOfMonth, h, m, s;
  if (!ReadDigits(line, 0, slash, &year)) return false;
  size_t p = slash + 1;
  if (line.size() != p + 14 || !ReadDigits(line, p, 2, &month) || line[p + 2] != '/' ||
      !ReadDigits(line, p + 3, 2, &dayOfMonth) || line[p + 5] != ' ' ||
      !ReadDigits(line, p + 6, 2, &h) || line[p + 8] != ':' || !ReadDigits(line, p + 9, 2, &m) ||
      line[p + 11] != ':' || !ReadDigits(line, p + 12, 2, &s)) {
    return false;
  }
  if (month < 1 || month > 12 || dayOfMonth < 1 || dayOfMonth > 31 || h > 23 || m > 59 || s > 59) {
    return false;
  }
  *day = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(dayOfMonth));
  *ms = ((h * 60 + m) * 60 + s) * 1000;
  return true;
}

ParsedLine Broken(const char* problem) {
  ParsedLine parsed;
  parsed.kind = LineKind::kBroken;
  parsed.problem = problem;
  return parsed;
}

// time, thread, return address, result, last error, function <module>, the rest.
ParsedLine ParseCall(std::string_view line, int64_t ms) {
  size_t p = 12;
  if (!At(line, p, kSeparator)) return Broken("no separator after the time");
  p += 2;
  size_t threadStart = p;
  while (p < line.size() && line[p] == ' ') ++p;
  int64_t thread = 0;
  size_t digits = 0;
  while (p < line.size() && IsDigit(line[p]) && digits < 9) {
    thread = thread * 10 + (line[p] - '0');
    ++p;
    ++digits;
  }
  if (digits == 0 || p - threadStart < 3 || !At(line, p, kSeparator)) {
    return Broken("bad thread column");
  }
  p += 2;
  ParsedLine parsed;
  parsed.kind = LineKind::kCall;
  parsed.msOfDay = ms;
  parsed.thread = static_cast<int>(thread);
  size_t width = AddressColumn(line, p, kSeparator, &parsed.returnAddress);
  if (width == 0) return Broken("bad return address column");
  parsed.digits = static_cast<int>(width);
  p += width + 2;
  // The result is as wide as the return address; the last error is 32 bits in both logs.
  if (AllSpaces(line, p, width) && At(line, p + width, kSeparator) &&
      AllSpaces(line, p + width + 2, 8) && At(line, p + width + 10, kSeparator)) {
    parsed.post = false;
  } else if (ReadHex(line, p, width, &parsed.result) && At(line, p + width, kSeparator) &&
             ReadHex8(line, p + width + 2, &parsed.lastError) &&
             At(line, p + width + 10, kSeparator)) {
    parsed.post = true;
  } else {
    return Broken("bad result or last-error column");
  }
  p += width + 12;
  // The function column ends at the first separator: names from the hook list hold no comma.
  size_t end = line.find(kSeparator, p);
  std::string_view column =
      line.substr(p, end == std::string_view::npos ? line.size() - p : end - p);
  if (column.empty()) return Broken("no function name");
  size_t open = column.rfind(" <");
  if (open != std::string_view::npos && column.back() == '>') {
    parsed.api = column.substr(0, open);
    parsed.caller = column.substr(open + 2, column.size() - open - 3);
  } else {
    parsed.api = column;
  }
  if (parsed.api.empty()) return Broken("no function name");
  if (end != std::string_view::npos) parsed.tail = line.substr(end + kSeparator.size());
  return parsed;
}

// "new thread : (%3d) %08x"
ParsedLine ParseNewThread(std::string_view line) {
  constexpr std::string_view kPrefix = "new thread : (";
  size_t p = kPrefix.size();
  while (p < line.size() && line[p] == ' ') ++p;
  int64_t number = 0;
  size_t digits = 0;
  while (p < line.size() && IsDigit(line[p]) && digits < 9) {
    number = number * 10 + (line[p] - '0');
    ++p;
    ++digits;
  }
  ParsedLine parsed;
  if (digits == 0 || !At(line, p, ") ") || !ReadHex8(line, p + 2, &parsed.threadId) ||
      line.size() != p + 10) {
    return Broken("bad new-thread line");
  }
  parsed.kind = LineKind::kNewThread;
  parsed.thread = static_cast<int>(number);
  return parsed;
}

// "%08x - %08x,  [%08x(%13s)], date time, path", the addresses 16 digits wide in the log of
// the 64-bit DLL.
bool ParseModule(std::string_view line, ParsedLine* parsed) {
  size_t digits = AddressColumn(line, 0, " - ", &parsed->moduleBase);
  if (digits == 0 || !ReadHex(line, digits + 3, digits, &parsed->moduleEnd) ||
      !At(line, 2 * digits + 3, ",  [")) {
    return false;
  }
  size_t close = line.find(")], ", 2 * digits + 7);
  if (close == std::string_view::npos) return false;
  std::string_view rest = line.substr(close + 4);
  // The file time is absent when the module's file could not be read.
  size_t comma = rest.find(kSeparator);
  int64_t day, ms;
  if (comma != std::string_view::npos && ReadDateTime(rest.substr(0, comma), &day, &ms)) {
    rest = rest.substr(comma + 2);
  }
  parsed->kind = LineKind::kModule;
  parsed->digits = static_cast<int>(digits);
  parsed->modulePath = rest;
  return true;
}

ParsedLine Titled(LineKind kind, Section next) {
  ParsedLine parsed;
  parsed.kind = kind;
  parsed.nextSection = next;
  return parsed;
}

}  // namespace

bool ReadHexText(std::string_view text, uint64_t* value) {
  return !text.empty() && text.size() <= 16 && ReadHex(text, 0, text.size(), value);
}

bool ReadColumnValue(std::string_view field, bool decimal, uint64_t* value) {
  if (field == "(null)") {
    *value = 0;
    return true;
  }
  size_t size = field.size();
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

int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

size_t FindLineEnd(std::string_view bytes, size_t from) {
  size_t at = from;
  for (;;) {
    size_t lf = bytes.find('\n', at);
    if (lf == std::string_view::npos) return lf;
    if (lf > from && bytes[lf - 1] == '\r') return lf - 1;
    at = lf + 1;
  }
}

ParsedLine ParseLine(std::string_view line, Section section) {
  int64_t ms = 0;
  if (line.size() >= 12 && ReadClock(line, &ms)) {
    ParsedLine parsed = ParseCall(line, ms);
    parsed.nextSection = Section::kNone;
    return parsed;
  }
  if (line.empty()) return Titled(LineKind::kEmpty, section);
  if (line[0] == '[') {
    if (line == "[Loaded Modules]") return Titled(LineKind::kTitle, Section::kLoadedModules);
    if (At(line, 0, "[api listing start ")) return Titled(LineKind::kTitle, Section::kApiListing);
    if (line == "[api listing end]") return Titled(LineKind::kTitle, Section::kNone);
    if (At(line, 0, "[module listing start ")) {
      return Titled(LineKind::kTitle, Section::kModuleListing);
    }
    if (line == "[module listing end]") return Titled(LineKind::kTitle, Section::kNone);
    if (At(line, 0, "[time], ")) return Titled(LineKind::kTitle, Section::kNone);
  }
  if (At(line, 0, "new thread : (")) {
    ParsedLine parsed = ParseNewThread(line);
    parsed.nextSection = section;
    return parsed;
  }
  if (line == "CleanUp OK") return Titled(LineKind::kCleanUp, Section::kNone);
  ParsedLine parsed;
  if (ReadDateTime(line, &parsed.day, &parsed.msOfDay)) {
    parsed.kind = LineKind::kDate;
    return parsed;
  }
  if (ParseModule(line, &parsed)) {
    parsed.nextSection = Section::kLoadedModules;
    return parsed;
  }
  parsed.nextSection = section;
  if (section == Section::kApiListing || section == Section::kModuleListing) {
    parsed.kind = LineKind::kListing;
  } else {
    parsed.kind = LineKind::kText;
  }
  return parsed;
}

}  // namespace qel::report
