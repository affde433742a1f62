// Qelvorn.ini: the tracing window, the log size limit and whether each line is flushed.
#include "control/settings.h"

#include <cstring>

#include "base/file_facts.h"

#include "base/exception_guard.h"
#include "control/message_buffer.h"
#include "control/messages.h"
#include "tracelog/trace_log.h"

namespace qelvorn {

uint32_t spanHours = 0;

namespace {

constexpr uint32_t kMaxSpanHours = 175200;
constexpr uint64_t kTicksPerHour = 3600ULL * 10000000ULL;

uint64_t ToTicks(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Only 0 or 1, then at most blanks and a comment: a value read as a number would let
// "yes" or "2" pass for something the user did not mean, and an unflushed log is a choice
// made on purpose.
bool IsFlushValue(const char* text) {
  if (text[0] != '0' && text[0] != '1') return false;
  size_t rest = 1 + strspn(text + 1, " \t");
  return text[rest] == '\0' || text[rest] == ';';
}

}  // namespace

bool ReadIniFile(const char* iniPath, MessageBuffer& messages) {
  bool ok = false;
  GuardOutcome outcome = Guarded([&] {
    FILETIME lastWrite;
    if (GetFileSizeAndTimeA(iniPath, &lastWrite) == -1) {
      AppendMessage(messages, kIniMissing);
      return;
    }
    UINT span = GetPrivateProfileIntA("Option", "span", -1, iniPath);
    if (static_cast<int>(span) == -1) {
      span = 0;
      AppendMessage(messages, kIniSpanInvalid);
    }
    // A negative value reads as a large unsigned one and is clamped like any other.
    spanHours = span < kMaxSpanHours ? span : kMaxSpanHours;
    int maxSize = static_cast<int>(GetPrivateProfileIntA("Option", "max_size", -1, iniPath));
    if (maxSize == -1) {
      maxSize = 0;
      AppendMessage(messages, kIniMaxLineInvalid);
    }
    traceLog.maxSize = maxSize;
    // Room for a comment after the value, as the other keys' lines have.
    char flush[1024];
    DWORD length = GetPrivateProfileStringA("Option", "flush", "1", flush, sizeof flush, iniPath);
    // A line that filled the buffer was cut, and what is left of it proves nothing.
    if (length >= sizeof flush - 1 || !IsFlushValue(flush)) {
      AppendMessage(messages, kIniFlushInvalid);
      return;
    }
    traceLog.flushEachWrite = flush[0] == '1';
    ok = true;
  });
  if (outcome != GuardOutcome::kCompleted) {
    AppendMessage(messages, kIniException);
    return false;
  }
  return ok;
}

bool IsWithinWindow(const FILETIME& lastWrite, uint32_t hours, const FILETIME& now) {
  uint64_t end = ToTicks(lastWrite) + static_cast<uint64_t>(hours) * kTicksPerHour;
  return ToTicks(now) <= end;
}

bool IsValidSpan(const char* iniPath, MessageBuffer& messages) {
  wchar_t widePath[260];
  FILETIME lastWrite;
  if (MultiByteToWideChar(CP_ACP, 0, iniPath, -1, widePath, 260) == 0 ||
      GetFileSizeAndTimeW(widePath, &lastWrite) == -1) {
    AppendMessage(messages, kSpanNoTimestamp);
    return false;
  }
  SYSTEMTIME nowSystem;
  GetSystemTime(&nowSystem);
  FILETIME now;
  SystemTimeToFileTime(&nowSystem, &now);
  if (IsWithinWindow(lastWrite, spanHours, now)) return true;
  AppendMessage(messages, kSpanExpired);
  return false;
}

}  // namespace qelvorn
