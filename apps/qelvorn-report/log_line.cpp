// Line parser: follows the fixed column widths of the tracer's lines, and reads the
// free-form tail (options and arguments, which may hold ", " inside texts) not at all.
#include "log_line.h"

#include <algorithm>

namespace qel::report {
namespace {

constexpr std::string_view kSeparator = ", ";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Each byte's hex digit value, 16 for a byte that is none: every line's address columns go
// through it, so it is a table rather than comparisons.
struct HexTable {
  uint8_t value[256];
  constexpr HexTable() : value() {
    for (int c = 0; c < 256; ++c) {
      value[c] = c >= '0' && c <= '9'   ? static_cast<uint8_t>(c - '0')
                 : c >= 'a' && c <= 'f' ? static_cast<uint8_t>(c - 'a' + 10)
                 : c >= 'A' && c <= 'F' ? static_cast<uint8_t>(c - 'A' + 10)
                                        : 16;
    }
  }
};
constexpr HexTable kHex;

// The pieces compared are a few bytes long: a loop the compiler unrolls beats a call.
bool At(std::string_view text, size_t at, std::string_view piece) {
  if (text.size() < at + piece.size()) return false;
  for (size_t i = 0; i < piece.size(); ++i) {
    if (text[at + i] != piece[i]) return false;
  }
  return true;
}

// Where the last `first` `second` pair that starts at or before `from` starts, npos when
// there is none: rfind of a piece compares at every place with a call, and the tail of
// every line is searched backwards so.
size_t FindPairBefore(std::string_view text, char first, char second, size_t from) {
  if (text.size() < 2) return std::string_view::npos;
  for (size_t at = std::min(from, text.size() - 2) + 1; at-- > 0;) {
    if (text[at] == first && text[at + 1] == second) return at;
  }
  return std::string_view::npos;
}

bool ReadHex(std::string_view text, size_t at, size_t count, uint64_t* value) {
  if (text.size() < at + count) return false;
  uint64_t v = 0;
  for (size_t i = at; i < at + count; ++i) {
    uint8_t h = kHex.value[static_cast<unsigned char>(text[i])];
    if (h > 15) return false;
    v = (v << 4) | h;
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

// Marks a line that starts as a tracer line but breaks its rules; returns false.
bool Broken(const char* problem, ParsedLine* parsed) {
  *parsed = ParsedLine();
  parsed->kind = LineKind::kBroken;
  parsed->problem = problem;
  return false;
}

// time, thread, return address, result, last error, function <module>, the rest.
bool ParseCall(std::string_view line, int64_t ms, ParsedLine* out) {
  ParsedLine& parsed = *out;
  size_t p = 12;
  if (!At(line, p, kSeparator)) return Broken("no separator after the time", out);
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
    return Broken("bad thread column", out);
  }
  p += 2;
  parsed.kind = LineKind::kCall;
  parsed.msOfDay = ms;
  parsed.thread = static_cast<int>(thread);
  size_t width = AddressColumn(line, p, kSeparator, &parsed.returnAddress);
  if (width == 0) return Broken("bad return address column", out);
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
    return Broken("bad result or last-error column", out);
  }
  p += width + 12;
  // The function column ends at the first separator: names from the hook list hold no comma.
  size_t end = line.find(kSeparator, p);
  std::string_view column =
      line.substr(p, end == std::string_view::npos ? line.size() - p : end - p);
  if (column.empty()) return Broken("no function name", out);
  size_t open = FindPairBefore(column, ' ', '<', column.size());
  if (open != std::string_view::npos && column.back() == '>') {
    parsed.api = column.substr(0, open);
    parsed.caller = column.substr(open + 2, column.size() - open - 3);
  } else {
    parsed.api = column;
  }
  if (parsed.api.empty()) return Broken("no function name", out);
  if (end != std::string_view::npos) parsed.tail = line.substr(end + kSeparator.size());
  return true;
}

// "new thread : (%3d) %08x"
void ParseNewThread(std::string_view line, ParsedLine* parsed) {
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
  if (digits == 0 || !At(line, p, ") ") || !ReadHex8(line, p + 2, &parsed->threadId) ||
      line.size() != p + 10) {
    Broken("bad new-thread line", parsed);
    return;
  }
  parsed->kind = LineKind::kNewThread;
  parsed->thread = static_cast<int>(number);
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

// Where a text column starts: the formatters write "..." and, for a null pointer that may
// be a resource number, (null)"...".
bool StartsText(std::string_view field) {
  return (!field.empty() && field.front() == '"') || At(field, 0, "(null)\"");
}

void Titled(LineKind kind, Section next, ParsedLine* parsed) {
  parsed->kind = kind;
  parsed->nextSection = next;
}

// What kind of line `line` is, and what it holds. Fills `parsed` in place: ParseLine
// returns one object on every path, which spares a copy of it for each of a log's lines.
void Classify(std::string_view line, Section section, ParsedLine* parsed) {
  int64_t ms = 0;
  if (line.size() >= 12 && ReadClock(line, &ms)) {
    ParseCall(line, ms, parsed);
    parsed->nextSection = Section::kNone;
    return;
  }
  if (line.empty()) return Titled(LineKind::kEmpty, section, parsed);
  if (line[0] == '[') {
    if (line == "[Loaded Modules]")
      return Titled(LineKind::kTitle, Section::kLoadedModules, parsed);
    if (At(line, 0, "[api listing start ")) {
      return Titled(LineKind::kTitle, Section::kApiListing, parsed);
    }
    if (line == "[api listing end]") return Titled(LineKind::kTitle, Section::kNone, parsed);
    if (At(line, 0, "[module listing start ")) {
      return Titled(LineKind::kTitle, Section::kModuleListing, parsed);
    }
    if (line == "[module listing end]") return Titled(LineKind::kTitle, Section::kNone, parsed);
    if (At(line, 0, "[time], ")) return Titled(LineKind::kTitle, Section::kNone, parsed);
  }
  if (At(line, 0, "new thread : (")) {
    ParseNewThread(line, parsed);
    parsed->nextSection = section;
    return;
  }
  if (line == "CleanUp OK") return Titled(LineKind::kCleanUp, Section::kNone, parsed);
  if (ReadDateTime(line, &parsed->day, &parsed->msOfDay)) {
    parsed->kind = LineKind::kDate;
    return;
  }
  if (ParseModule(line, parsed)) {
    parsed->nextSection = Section::kLoadedModules;
    return;
  }
  parsed->nextSection = section;
  if (section == Section::kApiListing || section == Section::kModuleListing) {
    parsed->kind = LineKind::kListing;
  } else {
    parsed->kind = LineKind::kText;
  }
}

}  // namespace

bool SplitArguments(std::string_view tail, size_t count, std::string_view* option,
                    std::vector<std::string_view>* arguments) {
  arguments->assign(count, std::string_view());
  size_t end = tail.size();
  for (size_t filled = 0; filled < count; ++filled) {
    // The field is the piece after the last separator before `end`, widened to the left
    // while it closes a text that it does not open.
    size_t before = end;
    for (;;) {
      if (before < kSeparator.size()) return false;
      size_t separator = FindPairBefore(tail, ',', ' ', before - kSeparator.size());
      if (separator == std::string_view::npos) return false;
      size_t start = separator + kSeparator.size();
      std::string_view field = tail.substr(start, end - start);
      if (field.empty() || field.back() != '"' || StartsText(field)) {
        (*arguments)[count - 1 - filled] = field;
        end = separator;
        break;
      }
      before = separator;
    }
  }
  *option = tail.substr(0, end);
  return true;
}

bool LineArguments::Split() {
  if (state_ == State::kNotYet) {
    state_ =
        SplitArguments(tail_, count_, &option_, fields_) ? State::kSplit : State::kUnsplittable;
  }
  return state_ == State::kSplit;
}

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
  ParsedLine parsed;
  Classify(line, section, &parsed);
  return parsed;
}

}  // namespace qel::report
