// A cursor over a fixed line buffer. Every append writes its whole piece or nothing,
// and no append ever writes past the buffer.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace qelvorn {

// Hex digits of an address, a handle or a pointer-wide result: 8 on x86, 16 on x64.
constexpr uint32_t kAddressDigits = 2 * sizeof(uintptr_t);

// What a line written after the call shows of it: the result register, pointer-wide, and
// the last error, a 32-bit value on every processor.
struct CallOutcome {
  uintptr_t result;
  uint32_t lastError;
};

struct LineBuilder {
  char* pos = nullptr;    // the next free byte; holds the NUL that ends the text
  char* start = nullptr;  // first byte of the buffer
  uint32_t capacity = 0;  // size of the buffer in bytes

  void Attach(char* buffer, uint32_t size);
  uint32_t Room() const { return capacity - static_cast<uint32_t>(pos - start); }

  // A text the library owns (constants, record and module names): cut at 259 bytes,
  // never probed.
  bool AppendText(const char* text);
  // A text that came from a traced call: read only as far as memory can be read, with the
  // bad-string marker when none can.
  bool AppendTracedText(const char* text);
  // A text of the library's own, whole, with no cut.
  bool AppendLiteral(const char* text);
  bool AppendHex32(uint32_t value);
  bool AppendHex16(uint32_t value);
  // An address, handle or pointer-wide value in kAddressDigits hex digits.
  bool AppendAddress(uintptr_t value);
  bool AppendInt(int32_t value);
  bool AppendSeparator();
  // The columns a call line starts with, each followed by ", ": clock, thread number
  // (right-aligned in three columns), return address, then the result and the last error
  // from outcome, or blanks as wide for a line written before the call (outcome null).
  bool AppendCallColumns(int32_t threadNumber, uintptr_t returnAddress, const CallOutcome* outcome);
  bool AppendDateTime(const SYSTEMTIME* time);
  bool AppendGrouped(int32_t value);
  bool AppendHandleList(uint32_t count, uint32_t limit, const uintptr_t* handles);
  // The marker for a pointer that cannot be read, followed by its value in hex.
  bool AppendBadPointer(uintptr_t value);
  // Appends length bytes of text when the room holds both length + 1 and minimumRoom;
  // otherwise writes nothing. The piece every other append ends in.
  bool AppendPiece(const char* text, uint32_t length, uint32_t minimumRoom);
  // For a piece written in place (a conversion straight into the buffer): where it goes,
  // with Room() - 1 bytes available, and then taking `length` bytes written there.
  char* Tail() { return pos; }
  void Advance(uint32_t length) {
    pos += length;
    *pos = '\0';
  }
  // Drops the text, keeping the builder attached.
  void Clear();
  // Writes the text as one log line (unforced: only while tracing is active) and empties
  // the builder whatever the write answered.
  bool Flush(bool force);
};

extern LineBuilder headerBuilder;
extern LineBuilder listingBuilder;

}  // namespace qelvorn
