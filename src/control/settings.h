// The settings file Qelvorn.ini, the tracing window, and the small file and text
// routines (size and last-write time of a file, UTF-16 to ANSI) that others share.
#pragma once

#include <windows.h>

#include <cstdint>

struct MessageBuffer;

extern uint32_t spanHours;  // tracing window in hours, 0 to 175200

bool ReadIniFile(const char* iniPath, MessageBuffer& messages);
bool IsValidSpan(const char* iniPath, MessageBuffer& messages);

// File size in bytes and last-write time (UTC); -1 when the file cannot be opened or read.
int64_t GetFileSizeAndTimeA(const char* path, FILETIME* lastWrite);
int64_t GetFileSizeAndTimeW(const wchar_t* path, FILETIME* lastWrite);

// Bytes produced, terminator included (with outSize 0: bytes needed); -1 for lack of
// room, bad flags or a bad parameter; 0 for any other failure.
int32_t WideToAnsi(const wchar_t* wide, char* out, int32_t outSize);

// The window test itself: open while now is not later than lastWrite + hours (end included).
bool IsWithinWindow(const FILETIME& lastWrite, uint32_t hours, const FILETIME& now);
