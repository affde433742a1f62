// The one open log file: naming in slots, creation, and the locked writer through which
// every byte reaches the file (flush after each write, byte count, roll-over).
#pragma once

#include <windows.h>

#include <cstdint>

struct TraceLog {
  HANDLE file = INVALID_HANDLE_VALUE;
  char path[260] = {};
  char directory[260] = {};
  volatile bool active = false;  // read without the lock: set last at set-up, cleared first
  int32_t bytesWritten = 0;
  int32_t maxSize = 0;
  CRITICAL_SECTION lock;
  volatile bool lockReady = false;  // the lock exists (between set-up and clean-up)
};

extern TraceLog traceLog;

constexpr int kLogSlotCount = 31;
constexpr size_t kLineCapacity = 10240;

bool CreateTraceLogLock();
void DestroyTraceLogLock();

bool CreateLogFile();
bool CloseLogFile();
bool DeleteSlotFiles();
int ChooseLogSlot(const char* programName, DWORD processId);

// An unforced write does nothing (and answers true) while tracing is not active.
bool WriteText(const char* text, bool force);
// Adds CR LF and writes the line; a text too long for its 10240-byte buffer is cut.
bool WriteLine(const char* text, bool force);

// Holds the log lock across several writes of this thread (the lock is re-entrant), so
// that no other thread's line comes between them. False when the lock does not exist.
bool HoldLogLock();
void ReleaseLogLock();

// For the exported functions' exception handlers: leaves the log lock if this thread
// holds it, so a fault during a write never leaves the log locked.
void ReleaseLogLockIfHeld();
