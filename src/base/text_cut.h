// Cutting ANSI text without splitting a double-byte character.
#pragma once

#include <cstddef>

namespace qelvorn {

// The length of the longest run of whole characters within the first length bytes of
// text, by the lead bytes of the ANSI code page (the code page the log is written in).
size_t WholeCharacterLength(const char* text, size_t length);

}  // namespace qelvorn
