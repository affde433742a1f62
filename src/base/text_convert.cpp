// Text conversions and path pieces shared by the layers.
#include "base/text_convert.h"

#include <mbstring.h>

namespace qelvorn {

int32_t WideToAnsi(const wchar_t* wide, char* out, int32_t outSize) {
  int produced = WideCharToMultiByte(CP_ACP, 0, wide, -1, out, outSize, nullptr, nullptr);
  if (produced != 0) return produced;
  DWORD error = GetLastError();
  if (error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_INVALID_FLAGS ||
      error == ERROR_INVALID_PARAMETER) {
    return -1;
  }
  return 0;
}

const char* FileNamePart(const char* path) {
  auto* text = reinterpret_cast<const unsigned char*>(path);
  const unsigned char* separator = _mbsrchr(text, '\\');
  if (separator == nullptr) separator = _mbsrchr(text, '/');
  return separator == nullptr ? path : reinterpret_cast<const char*>(separator + 1);
}

}  // namespace qelvorn
