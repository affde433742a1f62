// Control escaping: a small UTF-8 reader that passes whole characters through and writes
// out controls and stray bytes, so the result is valid UTF-8 without any control.
#include "shown_text.h"

#include <cstdio>

#include "common/text_encoding.h"

namespace qel::report {
namespace {

void AppendEscape(std::string* out, const char* format, unsigned value) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, format, value);
  *out += escaped;
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
  // Printable ASCII is the same in code page 932 and UTF-8 and needs no escape: most lines
  // of a log are nothing else, and skip the conversion.
  for (char c : cp932) {
    if (c < 0x20 || c > 0x7e) return EscapeControls(Cp932ToUtf8(cp932));
  }
  return std::string(cp932);
}

}  // namespace qel::report
