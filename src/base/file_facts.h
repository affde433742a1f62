// Size and last-write time of a file, as the settings window and the module listing need.
#pragma once

#include <windows.h>

#include <cstdint>

namespace qelvorn {

// File size in bytes and last-write time (UTC); -1 when the file cannot be opened or read.
int64_t GetFileSizeAndTimeA(const char* path, FILETIME* lastWrite);
int64_t GetFileSizeAndTimeW(const wchar_t* path, FILETIME* lastWrite);

}  // namespace qelvorn
