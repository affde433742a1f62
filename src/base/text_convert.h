// Text conversions and path pieces shared by the layers.
#pragma once

#include <windows.h>

#include <cstdint>

namespace qelvorn {

// UTF-16 to the ANSI code page. Bytes produced, terminator included (with outSize 0:
// bytes needed); -1 for lack of room, bad flags or a bad parameter; 0 for any other failure.
int32_t WideToAnsi(const wchar_t* wide, char* out, int32_t outSize);

// The file name after the last backslash of path, or after the last slash when it has no
// backslash; path itself when it has neither. Walked by the ANSI code page, so a trail
// byte equal to a separator is not taken for one.
const char* FileNamePart(const char* path);

}  // namespace qelvorn
