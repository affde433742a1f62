// The hook list's type codes, one row each: the code, how many 32-bit words the argument
// takes, the formatter that prints it (tracelog/value_formatters.cpp) and what it prints,
// in the words of the README. tools/lstgen/lstgen.py reads these rows, so the generator
// can name no code that is not here. A code of two argument words is written on both words
// in a hook list, which keeps one code per argument word.
#pragma once

#include <cstdint>

namespace qelvorn {

// One argument word: one slot of the caller's argument area, a pointer wide.
using ArgWord = uintptr_t;

// ROW(code, 32-bit words, formatter, description)
#define QEL_TYPE_CODES(ROW)                           \
  ROW('2', 1, FormatHex16, "16-bit hex")              \
  ROW('4', 1, FormatHex32, "32-bit hex")              \
  ROW('x', 1, FormatHexOrNull, "hex or (null)")       \
  ROW('d', 1, FormatDecimal, "unsigned decimal")      \
  ROW('B', 1, FormatBool32, "32-bit boolean")         \
  ROW('b', 1, FormatBool8, "8-bit boolean")           \
  ROW('p', 1, FormatPointer, "pointer")               \
  ROW('s', 1, FormatNarrowText, "narrow text")        \
  ROW('S', 1, FormatNarrowTextOrValue, "narrow text") \
  ROW('w', 1, FormatWideText, "wide text")            \
  ROW('W', 1, FormatWideTextOrValue, "wide text")     \
  ROW('8', 2, FormatHex64, "64-bit hex")

// Argument words the code takes; 0 for a code that is not in the table. An argument word
// holds one 32-bit word on x86 and two on x64, so a 64-bit value fits one word there.
constexpr uint32_t TypeCodeWords(char code) {
#define QEL_TYPE_CODE_WORDS(rowCode, rowWords, rowFormatter, rowDescription) \
  if (code == rowCode) return (rowWords * 4 + sizeof(ArgWord) - 1) / sizeof(ArgWord);
  QEL_TYPE_CODES(QEL_TYPE_CODE_WORDS)
#undef QEL_TYPE_CODE_WORDS
  return 0;
}

}  // namespace qelvorn
