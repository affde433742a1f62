// Cutting ANSI text without splitting a double-byte character.
#include "base/text_cut.h"

#include <windows.h>

namespace qelvorn {

size_t WholeCharacterLength(const char* text, size_t length) {
  size_t whole = 0;
  while (whole < length) {
    size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[whole])) ? 2 : 1;
    if (whole + step > length) break;
    whole += step;
  }
  return whole;
}

}  // namespace qelvorn
