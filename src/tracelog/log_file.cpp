// The log file: slot naming, deletion of a reused slot's files, creation, and the one
// locked writer (write, flush, count, roll-over) through which every byte goes.
#include <mbstring.h>

#include <cstdio>
#include <cstring>

#include "control/exception_guard.h"
#include "recording/thread_guard.h"
#include "tracelog/trace_log.h"

TraceLog traceLog;

namespace {

// Writers that may be about to take the lock; clean-up waits for them before the lock
// is destroyed, so a write that raced past the checks never touches a dead lock.
volatile LONG writersInFlight = 0;
// Thread that holds the log lock and how often, so an exception handler can release it.
volatile DWORD lockOwner = 0;
int lockDepth = 0;

// Joins pieces into out (260 bytes); false when the result would not fit.
bool JoinPath(char* out, size_t size, const char* a, const char* b) {
  int n = snprintf(out, size, "%s%s", a, b);
  return n >= 0 && static_cast<size_t>(n) < size;
}

bool SlotPattern(char* out, size_t size, const char* programName, int slot) {
  // The program name is copied as text: a percent sign in it is no format directive.
  int n = snprintf(out, size, "%s$$$%s%02d$$$(*).txt", traceLog.directory, programName, slot);
  return n >= 0 && static_cast<size_t>(n) < size;
}

// The executable's file name after its last separator, cut before its first dot.
bool ProgramName(char* out, size_t size) {
  char modulePath[260];
  DWORD length = GetModuleFileNameA(nullptr, modulePath, sizeof modulePath);
  if (length == 0 || length >= sizeof modulePath) return false;
  auto* text = reinterpret_cast<unsigned char*>(modulePath);
  unsigned char* separator = _mbsrchr(text, '\\');
  if (separator == nullptr) separator = _mbsrchr(text, '/');
  if (separator == nullptr) return false;
  snprintf(out, size, "%s", reinterpret_cast<char*>(separator + 1));
  unsigned char* dot = _mbschr(reinterpret_cast<unsigned char*>(out), '.');
  if (dot != nullptr) *dot = '\0';
  return true;
}

void EnterLogLock() {
  EnterCriticalSection(&traceLog.lock);
  if (lockOwner != GetCurrentThreadId()) {
    lockOwner = GetCurrentThreadId();
    lockDepth = 0;
  }
  ++lockDepth;
}

void LeaveLogLock() {
  if (--lockDepth == 0) lockOwner = 0;
  LeaveCriticalSection(&traceLog.lock);
}

// Counts the caller as a writer and takes the lock; false when the lock is gone.
bool EnterAsWriter() {
  InterlockedIncrement(&writersInFlight);
  if (!traceLog.lockReady) {
    InterlockedDecrement(&writersInFlight);
    return false;
  }
  EnterLogLock();
  return true;
}

void LeaveAsWriter() {
  LeaveLogLock();
  InterlockedDecrement(&writersInFlight);
}

}  // namespace

bool CreateTraceLogLock() {
  InitializeCriticalSectionAndSpinCount(&traceLog.lock, 4000);
  traceLog.lockReady = true;
  return true;
}

void DestroyTraceLogLock() {
  if (!traceLog.lockReady) return;
  traceLog.lockReady = false;
  MemoryBarrier();
  while (writersInFlight != 0) Sleep(0);
  DeleteCriticalSection(&traceLog.lock);
}

bool HoldLogLock() {
  return EnterAsWriter();
}

void ReleaseLogLock() {
  LeaveAsWriter();
}

void ReleaseLogLockIfHeld() {
  while (lockOwner == GetCurrentThreadId()) LeaveAsWriter();
}

int ChooseLogSlot(const char* programName, DWORD processId) {
  FILETIME newest = {0, 0};
  int best = -1;
  int chosen = -1;
  for (int slot = 0; slot < kLogSlotCount && chosen < 0; ++slot) {
    if (!SlotPattern(traceLog.path, sizeof traceLog.path, programName, slot)) return -1;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(traceLog.path, &found);
    if (search == INVALID_HANDLE_VALUE) {
      chosen = slot;
      break;
    }
    if (CompareFileTime(&found.ftLastWriteTime, &newest) > 0) {
      newest = found.ftLastWriteTime;
      best = slot;
    }
    FindClose(search);
  }
  // All taken: reuse the slot after the one written last, so the slots form a ring.
  if (chosen < 0) chosen = best + 1 > kLogSlotCount - 1 ? 0 : best + 1;
  int n = snprintf(traceLog.path, sizeof traceLog.path, "%s%s%s%02d%s(%d)%s", traceLog.directory,
                   "$$$", programName, chosen, "$$$", static_cast<int>(processId), ".txt");
  if (n < 0 || static_cast<size_t>(n) >= sizeof traceLog.path) return -1;
  return chosen;
}

bool DeleteSlotFiles() {
  traceLog.path[0] = '\0';
  char programName[260];
  if (!ProgramName(programName, sizeof programName)) return false;
  int slot = ChooseLogSlot(programName, GetCurrentProcessId());
  if (slot < 0) {
    traceLog.path[0] = '\0';
    return false;
  }
  char pattern[260];
  if (!SlotPattern(pattern, sizeof pattern, programName, slot)) return false;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return true;
  bool ok = true;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    char victim[260];
    if (!JoinPath(victim, sizeof victim, traceLog.directory, found.cFileName) ||
        !DeleteFileA(victim)) {
      ok = false;
      break;
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return ok;
}

bool CreateLogFile() {
  if (!DeleteSlotFiles()) {
    traceLog.file = INVALID_HANDLE_VALUE;
    return false;
  }
  traceLog.file = CreateFileA(traceLog.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr);
  return traceLog.file != INVALID_HANDLE_VALUE;
}

bool CloseLogFile() {
  if (traceLog.file == INVALID_HANDLE_VALUE) return true;
  if (!CloseHandle(traceLog.file)) return false;
  traceLog.file = INVALID_HANDLE_VALUE;
  return true;
}

bool WriteText(const char* text, bool force) {
  if (!force && !traceLog.active) return true;
  ThreadGuardScope guard;
  if (traceLog.file == INVALID_HANDLE_VALUE || IsBadStringPtrA(text, 260)) return false;
  size_t length = 0;
  // The probe covers only 260 bytes; a longer text that turns unreadable is refused.
  if (Guarded([&] { length = strlen(text); }) != GuardOutcome::kCompleted) return false;

  if (!EnterAsWriter()) return false;
  bool ok = false;
  DWORD written = 0;
  if (WriteFile(traceLog.file, text, static_cast<DWORD>(length), &written, nullptr) &&
      FlushFileBuffers(traceLog.file)) {
    traceLog.bytesWritten += static_cast<int32_t>(written);
    ok = true;
    if (traceLog.maxSize > 0 && traceLog.bytesWritten >= traceLog.maxSize) {
      ok = CloseLogFile() && CreateLogFile();
      if (ok) traceLog.bytesWritten = 0;
    }
  }
  LeaveAsWriter();
  return ok;
}

bool WriteLine(const char* text, bool force) {
  if (!force && !traceLog.active) return true;
  char line[kLineCapacity];
  // Room for CR LF and the terminator; a longer text loses its tail, never the line end.
  size_t length = strnlen(text, kLineCapacity - 3);
  memcpy(line, text, length);
  memcpy(line + length, "\r\n", 3);
  return WriteText(line, force);
}
