// One argument of a traced call printed by its type code, and the wide-text conversion
// that the codes "w" and "W" use.
#include "tracelog/value_formatters.h"

#include <cstring>

#include "base/memory_probe.h"
#include "base/text_convert.h"
#include "tracelog/line_builder.h"

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

}  // namespace

bool AppendArgument(LineBuilder& line, uint32_t value, char code) {
  const void* pointer = reinterpret_cast<const void*>(static_cast<uintptr_t>(value));
  const char* narrow = static_cast<const char*>(pointer);
  const wchar_t* wide = static_cast<const wchar_t*>(pointer);
  switch (code) {
    case '2':
      return line.AppendHex16(value);
    case '4':
      return line.AppendHex32(value);
    case 'x':
      return value == 0 ? line.AppendLiteral("(null)") : line.AppendHex32(value);
    case 'd': {
      char text[10];
      uint32_t length = 0;
      do {
        text[9 - length++] = static_cast<char>('0' + value % 10);
        value /= 10;
      } while (value != 0);
      return line.AppendPiece(text + 10 - length, length, 22);
    }
    case 'B':
      return line.AppendLiteral(value != 0 ? "TRUE" : "FALSE");
    case 'b':
      return line.AppendLiteral((value & 0xff) != 0 ? "true" : "false");
    case 'p':
      return IsReadable(pointer) ? line.AppendHex32(value) : line.AppendBadPointer(value);
    case 's':
      return line.AppendLiteral("\"") && line.AppendTracedText(narrow) && line.AppendLiteral("\"");
    case 'S':
      if (!line.AppendLiteral("\"")) return false;
      if (!(IsReadable(pointer) ? line.AppendTracedText(narrow) : line.AppendHex32(value)))
        return false;
      return line.AppendLiteral("\"");
    case 'w':
      if (!IsReadable(pointer)) {
        return line.AppendLiteral(kBadWideString) && line.AppendHex32(value);
      }
      return line.AppendLiteral("\"") && AppendWide(line, wide) && line.AppendLiteral("\"");
    case 'W':
      // The "(null)" piece is only a hint; the quoted value follows whether or not it fit.
      if (value == 0) line.AppendLiteral("(null)");
      if (!line.AppendLiteral("\"")) return false;
      if (!(IsReadable(pointer) ? AppendWide(line, wide) : line.AppendHex32(value))) return false;
      return line.AppendLiteral("\"");
    default:
      return line.AppendLiteral(kUnknownCode);
  }
}
