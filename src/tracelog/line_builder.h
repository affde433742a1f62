// A cursor over a fixed line buffer. Every append writes its whole piece or nothing,
// and no append ever writes past the buffer.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

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
  bool AppendHex32(uint32_t value);
  bool AppendHex16(uint32_t value);
  bool AppendInt(int32_t value);
  // Decimal, right-aligned with spaces in at least width columns, as "%*d" would.
  bool AppendRightAligned(int32_t value, uint32_t width);
  bool AppendSeparator();
  bool AppendClock();
  bool AppendDateTime(const SYSTEMTIME* time);
  bool AppendGrouped(int32_t value);
  bool AppendHandleList(uint32_t count, uint32_t limit, const uint32_t* handles);
  bool AppendArgument(uint32_t value, char code);
  // The marker for a pointer that cannot be read, followed by its value in hex.
  bool AppendBadPointer(uint32_t value);
  // Appends length bytes of text when the room holds both length + 1 and minimumRoom;
  // otherwise writes nothing. The piece every other append ends in.
  bool AppendPiece(const char* text, uint32_t length, uint32_t minimumRoom);
  // Drops the text, keeping the builder attached.
  void Clear();
  // Writes the text as one log line (unforced: only while tracing is active) and empties
  // the builder whatever the write answered.
  bool Flush(bool force);
};

extern LineBuilder headerBuilder;
extern LineBuilder listingBuilder;
