// The one open log file: naming in slots, creation, and the locked writer through which
// every byte reaches the file (write, flush unless turned off, byte count, roll-over).
#pragma once

#include <windows.h>

#include <cstdint>

#include "base/owned_lock.h"

namespace qelvorn {

// What a flush costs against a write, and how many lines the last flushes served: the
// writer's measure of whether a flush is worth waiting for other threads' lines.
struct FlushPace {
  // In DurationCount units, the lowest of the last few writes' and flushes': a thread
  // descheduled midway makes one of them slow, not all.
  static constexpr int kWindow = 8;
  uint64_t writes[kWindow] = {};
  uint64_t flushes[kWindow] = {};
  int nextWrite = 0;
  int nextFlush = 0;
  uint64_t writeCost = 0;
  uint64_t flushCost = 0;
  int served = 0;   // lines written since the last flush
  int company = 1;  // lines a flush is expected to serve
};

// Every field but active is read and written only under lock, which lives as long as the
// process: a roll-over on one thread never lets another see a half-changed file.
struct TraceLog {
  HANDLE file = INVALID_HANDLE_VALUE;
  char path[260] = {};
  char directory[260] = {};
  // The executable's name for the log file names, taken once when the log is first
  // created: a roll-over must not ask the loader while holding the log lock.
  char programName[260] = {};
  volatile bool active = false;  // read without the lock: set last at set-up, cleared first
  int32_t bytesWritten = 0;
  int32_t maxSize = 0;
  // [Option]flush: true flushes every write; false leaves each written line to the system
  // and flushes only at a roll-over and when the log is closed.
  bool flushEachWrite = true;
  // Written since the last flush: the file is flushed before it is let go.
  bool unflushed = false;
  int slot = -1;  // the ring slot of the open file
  // Flushes made so far, counted under the lock: the benchmarks and tests read it between
  // runs to see how many lines a flush served.
  uint32_t flushes = 0;
  // Their time in DurationCount units, summed: a benchmark sets a flush among many threads
  // against one thread's.
  uint64_t flushTime = 0;
  FlushPace pace;
  // Whether the pace says a flush is slow, for the queue's waiters that read it unlocked.
  volatile bool slowFlush = false;
  OwnedLock lock;
};

extern TraceLog traceLog;

constexpr int kLogSlotCount = 31;
constexpr size_t kLineCapacity = 10240;

// Takes the program name (once) and opens a log in the slot the ring picks, deleting that
// slot's old files; false when they cannot be deleted or the file cannot be made. (At a
// roll-over the following slots of the ring are tried in turn instead.)
bool CreateLogFile();
// Writes the queued lines, flushes them and closes the log under the lock; later writes
// are refused until a log is created again.
bool CloseLogFile();
int ChooseLogSlot(const char* programName, DWORD processId);

// An unforced write does nothing (and answers true) while tracing is not active. False
// when there is no log to write to (none opened, or every slot failed at a roll-over), when
// the wait for the log is refused (its holder died), or when a queued line was lost with a
// holder that faulted while writing it. WriteText's text must have passed IsReadableText.
bool WriteText(const char* text, bool force);
// The same for length bytes of text that the caller already ended with CR LF.
bool WriteBytes(const char* text, size_t length, bool force);
// Adds CR LF and writes the line; a text longer than 10237 bytes is cut before the
// character that would not fit whole.
bool WriteLine(const char* text, bool force);

// Holds the log lock across several writes of this thread (the lock is re-entrant), so
// that no other thread's line comes between them. False when the holder has died.
bool HoldLogLock();
// The last release writes the lines other threads queued meanwhile before it lets go, or
// where a flush is slow wakes the writer of the oldest to write them.
void ReleaseLogLock();

}  // namespace qelvorn
