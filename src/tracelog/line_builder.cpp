// The line builder: a cursor over a fixed buffer, the append operations with their room
// rules, the readability test for traced pointers, and the flush into the trace log.
#include "tracelog/line_builder.h"

#include <cstring>

#include "base/local_clock.h"
#include "base/memory_probe.h"
#include "base/short_copy.h"
#include "base/text_cut.h"
#include "tracelog/trace_log.h"

namespace qelvorn {

namespace {

char headerBuffer[kLineCapacity];
char listingBuffer[kLineCapacity];

constexpr char kBadString[] =
    "(\x81\xa1"
    "bad string"
    "\x81\xa1)";
constexpr char kBadPointer[] =
    "(\x81\xa1"
    "bad pointer"
    "\x81\xa1)";

// Decimal digits of value, at least minDigits of them, written at out; answers the count.
uint32_t PutUnsigned(char* out, uint32_t value, uint32_t minDigits) {
  char digits[10];
  uint32_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  uint32_t length = 0;
  for (uint32_t pad = count; pad < minDigits; ++pad) out[length++] = '0';
  while (count > 0) out[length++] = digits[--count];
  return length;
}

uint32_t PutSigned(char* out, int32_t value) {
  if (value >= 0) return PutUnsigned(out, static_cast<uint32_t>(value), 1);
  out[0] = '-';
  return 1 + PutUnsigned(out + 1, 0u - static_cast<uint32_t>(value), 1);
}

// A clock field, always below 10 to the power digits, in exactly that many digits.
uint32_t PutClockField(char* out, uint32_t value, uint32_t digits) {
  for (uint32_t i = digits; i > 0; --i) {
    out[i - 1] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return digits;
}

uint32_t PutHex(char* out, uintptr_t value, uint32_t digits) {
  for (uint32_t i = 0; i < digits; ++i) {
    out[digits - 1 - i] = "0123456789abcdef"[value & 0xf];
    value >>= 4;
  }
  return digits;
}

}  // namespace

LineBuilder headerBuilder{headerBuffer, headerBuffer, sizeof headerBuffer};
LineBuilder listingBuilder{listingBuffer, listingBuffer, sizeof listingBuffer};

void LineBuilder::Attach(char* buffer, uint32_t size) {
  start = buffer;
  pos = buffer;
  capacity = size;
  // A builder flushed before any append must not hand stale bytes to the log.
  if (size > 0) *buffer = '\0';
}

void LineBuilder::Clear() {
  if (start == nullptr) return;
  pos = start;
  *pos = '\0';
}

bool LineBuilder::AppendPiece(const char* text, uint32_t length, uint32_t minimumRoom) {
  uint32_t room = Room();
  // length + 1 cannot wrap: no piece is longer than a builder's buffer.
  if (start == nullptr || room < minimumRoom || room < length + 1) return false;
  // A traced text may lie in this very buffer (a dangling pointer into stack the recorder
  // now uses). It then ends at the NUL at pos at the latest, or starts beyond pos: either
  // way a forward copy reads every byte before it is overwritten.
  CopyShort(pos, text, length);
  pos += length;
  *pos = '\0';
  return true;
}

namespace {

// A text cut at 259 bytes, or where readable memory ends before its NUL: it ends before a
// character that would lose its second byte. Measured no further than the room, as a text
// that does not fit whole is not written at all.
bool AppendCutText(LineBuilder& builder, const char* text, size_t readable) {
  if (builder.start == nullptr) return false;
  uint32_t room = builder.Room();
  size_t limit = readable < room ? readable : room;
  size_t length = BoundedLength(text, limit);
  if (length == readable) length = WholeCharacterLength(text, length);
  if (length >= room) return false;
  return builder.AppendPiece(text, static_cast<uint32_t>(length), 0);
}

}  // namespace

bool LineBuilder::AppendText(const char* text) {
  if (text == nullptr) return AppendTracedText(text);
  return AppendCutText(*this, text, 259);
}

bool LineBuilder::AppendTracedText(const char* text) {
  size_t readable = ReadableBytes(text, 259);
  if (readable == 0) {
    if (!AppendLiteral(kBadString)) return false;
    return AppendAddress(reinterpret_cast<uintptr_t>(text));
  }
  return AppendCutText(*this, text, readable);
}

bool LineBuilder::AppendHex32(uint32_t value) {
  char text[8];
  return AppendPiece(text, PutHex(text, value, 8), 9);
}

bool LineBuilder::AppendHex16(uint32_t value) {
  char text[4];
  return AppendPiece(text, PutHex(text, value, 4), 5);
}

bool LineBuilder::AppendAddress(uintptr_t value) {
  char text[kAddressDigits];
  return AppendPiece(text, PutHex(text, value, kAddressDigits), kAddressDigits + 1);
}

bool LineBuilder::AppendInt(int32_t value) {
  char text[11];
  return AppendPiece(text, PutSigned(text, value), 11);
}

bool LineBuilder::AppendLiteral(const char* text) {
  uint32_t length = static_cast<uint32_t>(ShortLength(text));
  return AppendPiece(text, length, length + 1);
}

bool LineBuilder::AppendSeparator() {
  return AppendPiece(", ", 2, 3);
}

bool LineBuilder::AppendCallColumns(int32_t threadNumber, uintptr_t returnAddress,
                                    const CallOutcome* outcome) {
  // One piece for the columns every call line starts with, as the clock, "%3d" and hex
  // appends one after another would write them, made in place when the room allows. The
  // longest: clock, an eleven-character thread number, two addresses and the last error,
  // each with its ", ", and a few bytes to spare.
  constexpr uint32_t kLongest = 48 + 2 * kAddressDigits;
  char aside[kLongest];
  if (start == nullptr) return false;
  char* text = Room() > kLongest ? pos : aside;
  TimeOfDay now = LocalTimeOfDay();
  uint32_t length = PutClockField(text, now.hour, 2);
  text[length++] = ':';
  length += PutClockField(text + length, now.minute, 2);
  text[length++] = ':';
  length += PutClockField(text + length, now.second, 2);
  text[length++] = ':';
  length += PutClockField(text + length, now.millisecond, 3);
  text[length++] = ',';
  text[length++] = ' ';
  char digits[11];
  uint32_t count = PutSigned(digits, threadNumber);
  for (uint32_t pad = count; pad < 3; ++pad) text[length++] = ' ';
  CopyShort(text + length, digits, count);
  length += count;
  text[length++] = ',';
  text[length++] = ' ';
  length += PutHex(text + length, returnAddress, kAddressDigits);
  text[length++] = ',';
  text[length++] = ' ';
  // A line before the call has blanks where the result and the last error go.
  if (outcome != nullptr) {
    length += PutHex(text + length, outcome->result, kAddressDigits);
  } else {
    memset(text + length, ' ', kAddressDigits);
    length += kAddressDigits;
  }
  text[length++] = ',';
  text[length++] = ' ';
  if (outcome != nullptr) {
    length += PutHex(text + length, outcome->lastError, 8);
  } else {
    memset(text + length, ' ', 8);
    length += 8;
  }
  text[length++] = ',';
  text[length++] = ' ';
  if (text == pos) {
    Advance(length);
    return true;
  }
  return AppendPiece(text, length, length + 1);
}

bool LineBuilder::AppendBadPointer(uintptr_t value) {
  return AppendLiteral(kBadPointer) && AppendAddress(value);
}

bool LineBuilder::AppendDateTime(const SYSTEMTIME* time) {
  if (ReadableBytes(time, sizeof(SYSTEMTIME)) < sizeof(SYSTEMTIME)) {
    return AppendBadPointer(reinterpret_cast<uintptr_t>(time));
  }
  // Five digits at most per field, whatever the structure holds.
  char text[40];
  uint32_t length = PutUnsigned(text, time->wYear, 1);
  text[length++] = '/';
  length += PutUnsigned(text + length, time->wMonth, 2);
  text[length++] = '/';
  length += PutUnsigned(text + length, time->wDay, 2);
  text[length++] = ' ';
  length += PutUnsigned(text + length, time->wHour, 2);
  text[length++] = ':';
  length += PutUnsigned(text + length, time->wMinute, 2);
  text[length++] = ':';
  length += PutUnsigned(text + length, time->wSecond, 2);
  return AppendPiece(text, length, 20);
}

bool LineBuilder::AppendGrouped(int32_t value) {
  // Thirteen columns, right-aligned. A negative value keeps its sign left of the digits
  // (never a comma right after it) and may take a fourteenth column.
  char digits[10];
  uint32_t count = PutUnsigned(
      digits, value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value), 1);
  char text[16];
  uint32_t column = sizeof text;
  for (uint32_t i = 0; i < count; ++i) {
    if (i > 0 && i % 3 == 0) text[--column] = ',';
    text[--column] = digits[count - 1 - i];
  }
  if (value < 0) text[--column] = '-';
  while (sizeof text - column < 13) text[--column] = ' ';
  uint32_t length = sizeof text - column;
  return AppendPiece(text + column, length, 14);
}

bool LineBuilder::AppendHandleList(uint32_t count, uint32_t limit, const uintptr_t* handles) {
  if (!IsReadable(handles)) {
    return AppendBadPointer(reinterpret_cast<uintptr_t>(handles));
  }
  uint32_t shown = count < limit ? count : limit;
  // No more entries than bytes in the buffer could ever fit; keeps the byte count below wrap.
  if (shown > capacity) shown = capacity;
  // Entries past the end of readable memory are left out like those past the limit.
  size_t readableEntries =
      ReadableBytes(handles, static_cast<size_t>(shown) * sizeof *handles) / sizeof *handles;
  if (readableEntries < shown) shown = static_cast<uint32_t>(readableEntries);
  if (!AppendLiteral("(") || !AppendInt(static_cast<int32_t>(count)) ||
      !AppendLiteral(" handles:")) {
    return false;
  }
  for (uint32_t i = 0; i < shown; ++i) {
    if (i > 0 && !AppendPiece("/", 1, 2)) return false;
    if (!AppendAddress(handles[i])) return false;
  }
  return AppendLiteral(count > shown ? "...)" : ")");
}

bool LineBuilder::Flush(bool force) {
  if (start == nullptr) return false;
  if (!force && !traceLog.active) return true;
  // The line end goes into the buffer itself when it fits, so the line is written
  // without a second copy on the traced thread's stack.
  uint32_t length = static_cast<uint32_t>(pos - start);
  bool written = false;
  if (Room() >= 3 && length + 2 <= kLineCapacity - 1) {
    memcpy(pos, "\r\n", 3);
    written = WriteBytes(start, length + 2, force);
  } else {
    written = WriteLine(start, force);
  }
  Clear();
  return written;
}

}  // namespace qelvorn
