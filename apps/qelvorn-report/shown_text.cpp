// Control escaping: a small UTF-8 reader that passes whole characters through and writes
// out controls and stray bytes, so the result is valid UTF-8 without any control.
#include "shown_text.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "common/text_encoding.h"

namespace qel::report {
namespace {

void AppendEscape(std::string* out, const char* format, unsigned value) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, format, value);
  *out += escaped;
}

// Conversions kept at most; a log with more distinct pieces starts the cache afresh.
constexpr size_t kConvertedLimit = 4096;

// An ASCII control as EscapeControls writes it.
void AppendControl(unsigned char c, std::string* out) {
  if (c == '\n') {
    *out += "\\n";
  } else if (c == '\r') {
    *out += "\\r";
  } else if (c == '\t') {
    *out += "\\t";
  } else {
    AppendEscape(out, "\\x%02x", c);
  }
}

// Where the run of printable ASCII from `at` on ends. Eight bytes are looked at together:
// every decoded line passes through here, and nearly all of it is such a run.
size_t PrintableRunEnd(std::string_view text, size_t at) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  while (at + 8 <= text.size()) {
    uint64_t word;
    std::memcpy(&word, text.data() + at, sizeof word);
    // A byte below 0x20, or one at 0x7f and above: then the bytes are looked at one by one.
    uint64_t low = (word - 0x20 * kOnes) & ~word & kHighs;
    uint64_t high = ((word + kOnes) | word) & kHighs;
    if ((low | high) != 0) break;
    at += 8;
  }
  while (at < text.size() && static_cast<unsigned char>(text[at]) >= 0x20 &&
         static_cast<unsigned char>(text[at]) < 0x7f)
    ++at;
  return at;
}

}  // namespace

std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (c == '\r') {
      out += "\\r";
      ++i;
    } else if (c == '\t') {
      out += "\\t";
      ++i;
    } else if (c < 0x80) {
      AppendEscape(&out, "\\x%02x", c);
      ++i;
    } else if (size_t length = Utf8CharacterLength(text, i); length == 0) {
      AppendEscape(&out, "\\x%02x", c);
      ++i;
    } else if (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
      AppendEscape(&out, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
      i += 2;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string ShownText(std::string_view cp932) {
  std::string out;
  AppendShownText(cp932, &out);
  return out;
}

void AppendShownText(std::string_view cp932, std::string* out) {
  // Printable ASCII is the same in code page 932 and UTF-8 and needs no escape: most of a
  // log is nothing else, and is copied in runs. A byte below 0x40 after an ASCII byte
  // starts a character for either system's converter (a byte below 0x40 is never the
  // second of a pair, and one that follows a possible lead byte may be taken with it on
  // Windows): the text up to such a byte from a byte at or above 0x80 on converts alone,
  // and the same pieces (folder names, window titles) recur, so their conversions are kept.
  thread_local std::unordered_map<std::string, std::string> converted;
  thread_local std::string key;
  size_t i = 0;
  size_t size = cp932.size();
  while (i < size) {
    size_t run = PrintableRunEnd(cp932, i);
    out->append(cp932.data() + i, run - i);
    i = run;
    if (i == size) break;
    unsigned char c = static_cast<unsigned char>(cp932[i]);
    if (c < 0x80) {
      AppendControl(c, out);
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < size && (static_cast<unsigned char>(cp932[end]) >= 0x40 ||
                          static_cast<unsigned char>(cp932[end - 1]) >= 0x80))
      ++end;
    key.assign(cp932.data() + i, end - i);
    i = end;
    auto found = converted.find(key);
    if (found == converted.end()) {
      if (converted.size() >= kConvertedLimit) converted.clear();
      found = converted.emplace(key, EscapeControls(Cp932ToUtf8(key))).first;
    }
    out->append(found->second);
  }
}

}  // namespace qel::report
