// Copies and measures for the few bytes of a line's pieces. The C runtime's memcpy and
// strlen are calls into another DLL whose set-up outweighs such short work: in the test
// guest an 8-byte memcpy cost 75 ns, several times a line's whole column formatting.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelvorn {

// Copies length bytes forwards, a word at a time: overlapping regions come out right only
// when to lies below from. The word copies are builtins of a constant size, so the
// compiler makes them moves rather than calls.
inline void CopyShort(char* to, const char* from, size_t length) {
  for (; length >= 4; length -= 4, to += 4, from += 4) {
    uint32_t word;
    __builtin_memcpy(&word, from, 4);
    __builtin_memcpy(to, &word, 4);
  }
  for (; length > 0; --length) *to++ = *from++;
}

// The length of a text up to its NUL, but no more than limit, a word at a time where it
// can. Bytes are read up to a word boundary first: an aligned word never reaches into
// another page, so one whose first byte belongs to the text may be read even past its
// NUL. A word holds a NUL when a byte, less one, borrows into a top bit it did not have.
inline size_t BoundedLength(const char* text, size_t limit) {
  size_t length = 0;
  while (length < limit && ((reinterpret_cast<uintptr_t>(text) + length) & 3) != 0) {
    if (text[length] == '\0') return length;
    ++length;
  }
  for (; length + 4 <= limit; length += 4) {
    uint32_t word;
    __builtin_memcpy(&word, text + length, 4);
    if (((word - 0x01010101u) & ~word & 0x80808080u) != 0) break;
  }
  while (length < limit && text[length] != '\0') ++length;
  return length;
}

// The length of a NUL-terminated text of the library's own.
inline size_t ShortLength(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

}  // namespace qelvorn
