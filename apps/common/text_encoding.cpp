// Code page 932 to UTF-8 conversion, by the system's own converter on each platform.
#include "common/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <vector>

namespace qel {
namespace {

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

const char kReplacement[] = "\xEF\xBF\xBD";

#ifdef _WIN32

// One character at a time where the whole text does not convert, so a bad byte costs
// only itself.
std::string Convert(std::string_view text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    int length = IsDBCSLeadByteEx(932, c) && i + 1 < text.size() ? 2 : 1;
    wchar_t wide[2];
    int wideLength =
        MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text.data() + i, length, wide, 2);
    char utf8[8];
    int utf8Length = wideLength > 0 ? WideCharToMultiByte(CP_UTF8, 0, wide, wideLength, utf8,
                                                          sizeof utf8, nullptr, nullptr)
                                    : 0;
    if (utf8Length > 0) {
      out.append(utf8, static_cast<size_t>(utf8Length));
    } else {
      out += kReplacement;
    }
    i += static_cast<size_t>(length);
  }
  return out;
}

#else

class Converter {
 public:
  Converter() : handle_(iconv_open("UTF-8", "CP932")) {}
  ~Converter() {
    if (handle_ != reinterpret_cast<iconv_t>(-1)) iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  std::string Convert(std::string_view text) {
    std::string out;
    if (handle_ == reinterpret_cast<iconv_t>(-1)) {
      for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x80)
          out.push_back(c);
        else
          out += kReplacement;
      }
      return out;
    }
    iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    std::vector<char> buffer(text.size() * 3 + 16);
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    while (inLeft > 0) {
      char* outPtr = buffer.data();
      size_t outLeft = buffer.size();
      size_t done = iconv(handle_, &in, &inLeft, &outPtr, &outLeft);
      out.append(buffer.data(), buffer.size() - outLeft);
      if (done == static_cast<size_t>(-1) && inLeft > 0) {
        // An invalid or incomplete sequence: replace its first byte and go on.
        out += kReplacement;
        ++in;
        --inLeft;
        iconv(handle_, nullptr, nullptr, nullptr, nullptr);
      }
    }
    return out;
  }

 private:
  iconv_t handle_;
};

std::string Convert(std::string_view text) {
  static thread_local Converter converter;
  return converter.Convert(text);
}

#endif

}  // namespace

std::string Cp932ToUtf8(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  return Convert(text);
}

namespace {

void AppendEscaped(unsigned char c, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  if (c == '\r') {
    *out += "\\r";
  } else if (c == '\n') {
    *out += "\\n";
  } else if (c == '\t') {
    *out += "\\t";
  } else {
    *out += "\\x";
    out->push_back(kHex[c >> 4]);
    out->push_back(kHex[c & 15]);
  }
}

}  // namespace

std::string EscapeName(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out.push_back(ch);
    } else {
      AppendEscaped(c, &out);
    }
  }
  return out;
}

size_t Utf8CharacterLength(std::string_view text, size_t at) {
  unsigned char c = static_cast<unsigned char>(text[at]);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    length = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    length = 3;
    if (c == 0xe0) low = 0xa0;
    if (c == 0xed) high = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    length = 4;
    if (c == 0xf0) low = 0x90;
    if (c == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  unsigned char second = static_cast<unsigned char>(text[at + 1]);
  if (second < low || second > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xc0) != 0x80) return 0;
  }
  return length;
}

std::string EscapePath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
#ifndef _WIN32
    // Outside Windows a terminal reads UTF-8: a C1 control (U+0080 to U+009F) and any byte
    // that is no part of a whole sequence (a lone 0x9b is an 8-bit CSI to some) are escaped.
    size_t length = c < 0x80 ? 1 : Utf8CharacterLength(path, i);
    unsigned char next = i + 1 < path.size() ? static_cast<unsigned char>(path[i + 1]) : 0;
    if (length == 0 || (length == 2 && c == 0xc2 && next < 0xa0)) {
      AppendEscaped(c, &out);
      continue;
    }
    if (length > 1) {
      out.append(path.substr(i, length));
      i += length - 1;
      continue;
    }
#endif
    if (c < 0x20 || c == 0x7f) {
      AppendEscaped(c, &out);
    } else {
      out.push_back(path[i]);
    }
  }
  return out;
}

}  // namespace qel
