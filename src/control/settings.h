// The settings file Qelvorn.ini and the tracing window.
#pragma once

#include <windows.h>

#include <cstdint>

namespace qelvorn {

struct MessageBuffer;

extern uint32_t spanHours;  // tracing window in hours, 0 to 175200

// Reads span, max_size and flush; false when the file is missing or flush is neither 0
// nor 1 (a bad span or max_size only adds a message).
bool ReadIniFile(const char* iniPath, MessageBuffer& messages);
bool IsValidSpan(const char* iniPath, MessageBuffer& messages);

// The window test itself: open while now is not later than lastWrite + hours (end included).
bool IsWithinWindow(const FILETIME& lastWrite, uint32_t hours, const FILETIME& now);

}  // namespace qelvorn
