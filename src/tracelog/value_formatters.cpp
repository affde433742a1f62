// One argument of a traced call printed by its type code: one formatter per row of the
// type-code table (hooklist/type_codes.h), and the wide-text conversion of "w" and "W".
#include "tracelog/value_formatters.h"

#include <cstring>

#include "base/memory_probe.h"
#include "base/text_convert.h"
#include "hooklist/type_codes.h"
#include "tracelog/line_builder.h"

namespace qelvorn {

namespace {

constexpr char kBadWideString[] =
    "(\x81\xa1"
    "bad w string"
    "\x81\xa1)";
constexpr char kUnknownCode[] = "?\x81\xa1\x81\xa1\x81\xa1?";

// Characters before the NUL, reading only memory that can be read and at most limit
// characters; terminated says whether the NUL was reached. The readable memory is asked
// for a chunk at a time.
size_t MeasureWide(const wchar_t* text, size_t limit, bool* terminated) {
  constexpr size_t kChunkChars = 32768;
  size_t length = 0;
  while (length < limit) {
    size_t want = limit - length < kChunkChars ? limit - length : kChunkChars;
    size_t chars = ReadableBytes(text + length, want * sizeof(wchar_t)) / sizeof(wchar_t);
    for (size_t i = 0; i < chars; ++i) {
      if (text[length + i] == L'\0') {
        *terminated = true;
        return length + i;
      }
    }
    length += chars;
    if (chars < want) break;
  }
  *terminated = false;
  return length;
}

// Converts a wide text into the ANSI code page at pos, whole or not at all.
bool AppendWide(LineBuilder& builder, const wchar_t* text) {
  if (builder.start == nullptr) return false;
  bool terminated = false;
  int32_t room = static_cast<int32_t>(builder.Room());
  // Every character takes at least one byte and a pair at least one, so a text with no
  // NUL within twice the room cannot fit: a huge mapping is not scanned to its end.
  size_t length = MeasureWide(text, 2 * static_cast<size_t>(room) + 2, &terminated);
  // Converted once, straight into the room: a text that does not fit fails the conversion,
  // and the terminator put back at pos drops whatever part of it was written.
  if (terminated) {
    int32_t produced = WideToAnsi(text, builder.Tail(), room);
    if (produced <= 0) {
      builder.Advance(0);
      return false;
    }
    builder.Advance(static_cast<uint32_t>(produced - 1));
    return true;
  }
  // The text runs into unreadable memory: what could be read is the text. Same code page
  // and flags as WideToAnsi, with an explicit length since there is no NUL to stop at.
  if (length == 0) return builder.AppendPiece("", 0, 1);
  int count = length > 0x7fffffff ? 0x7fffffff : static_cast<int>(length);
  int produced =
      WideCharToMultiByte(CP_ACP, 0, text, count, builder.Tail(), room - 1, nullptr, nullptr);
  if (produced <= 0) {
    builder.Advance(0);
    return false;
  }
  builder.Advance(static_cast<uint32_t>(produced));
  return true;
}

// One formatter per row of the type-code table; words[0] is the argument's first word.
// Codes of a fixed width ("2", "4", "B", "b") read the low bits of the word; the others
// print the whole word, which is pointer-wide.
uint32_t Value(const ArgWord* words) {
  return static_cast<uint32_t>(words[0]);
}

const void* Pointer(const ArgWord* words) {
  return reinterpret_cast<const void*>(words[0]);
}

bool FormatHex16(LineBuilder& line, const ArgWord* words) {
  return line.AppendHex16(Value(words));
}

bool FormatHex32(LineBuilder& line, const ArgWord* words) {
  return line.AppendHex32(Value(words));
}

bool FormatHexOrNull(LineBuilder& line, const ArgWord* words) {
  return words[0] == 0 ? line.AppendLiteral("(null)") : line.AppendAddress(words[0]);
}

bool FormatDecimal(LineBuilder& line, const ArgWord* words) {
  // Twenty digits hold the largest 64-bit value.
  constexpr uint32_t kDigits = 20;
  ArgWord value = words[0];
  char text[kDigits];
  uint32_t length = 0;
  do {
    text[kDigits - 1 - length++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return line.AppendPiece(text + kDigits - length, length, 22);
}

bool FormatBool32(LineBuilder& line, const ArgWord* words) {
  return line.AppendLiteral(Value(words) != 0 ? "TRUE" : "FALSE");
}

bool FormatBool8(LineBuilder& line, const ArgWord* words) {
  return line.AppendLiteral((Value(words) & 0xff) != 0 ? "true" : "false");
}

bool FormatPointer(LineBuilder& line, const ArgWord* words) {
  return IsReadable(Pointer(words)) ? line.AppendAddress(words[0])
                                    : line.AppendBadPointer(words[0]);
}

bool FormatNarrowText(LineBuilder& line, const ArgWord* words) {
  return line.AppendLiteral("\"") &&
         line.AppendTracedText(static_cast<const char*>(Pointer(words))) &&
         line.AppendLiteral("\"");
}

bool FormatNarrowTextOrValue(LineBuilder& line, const ArgWord* words) {
  if (!line.AppendLiteral("\"")) return false;
  if (!(IsReadable(Pointer(words)) ? line.AppendTracedText(static_cast<const char*>(Pointer(words)))
                                   : line.AppendAddress(words[0])))
    return false;
  return line.AppendLiteral("\"");
}

bool FormatWideText(LineBuilder& line, const ArgWord* words) {
  if (!IsReadable(Pointer(words))) {
    return line.AppendLiteral(kBadWideString) && line.AppendAddress(words[0]);
  }
  return line.AppendLiteral("\"") &&
         AppendWide(line, static_cast<const wchar_t*>(Pointer(words))) && line.AppendLiteral("\"");
}

bool FormatWideTextOrValue(LineBuilder& line, const ArgWord* words) {
  // The "(null)" piece is only a hint; the quoted value follows whether or not it fit.
  if (words[0] == 0) line.AppendLiteral("(null)");
  if (!line.AppendLiteral("\"")) return false;
  if (!(IsReadable(Pointer(words)) ? AppendWide(line, static_cast<const wchar_t*>(Pointer(words)))
                                   : line.AppendAddress(words[0])))
    return false;
  return line.AppendLiteral("\"");
}

// Sixteen digits: one word where a word holds 64 bits, else two words, the high word (the
// later one on the stack) first.
bool FormatHex64(LineBuilder& line, const ArgWord* words) {
  if constexpr (sizeof(ArgWord) == sizeof(uint64_t)) return line.AppendAddress(words[0]);
  return line.AppendHex32(static_cast<uint32_t>(words[1])) &&
         line.AppendHex32(static_cast<uint32_t>(words[0]));
}

}  // namespace

bool AppendArgument(LineBuilder& line, const ArgWord* words, uint32_t wordsLeft, char code) {
  switch (code) {
#define QEL_TYPE_CODE_CASE(rowCode, rowWords, rowFormatter, rowDescription) \
  case rowCode:                                                             \
    if (TypeCodeWords(rowCode) > wordsLeft) break;                          \
    return rowFormatter(line, words);
    QEL_TYPE_CODES(QEL_TYPE_CODE_CASE)
#undef QEL_TYPE_CODE_CASE
  }
  return line.AppendLiteral(kUnknownCode);
}

}  // namespace qelvorn
