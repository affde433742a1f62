// The log file: slot naming, deletion of a reused slot's files, creation, and the one
// locked writer (write, flush, count, roll-over) through which every byte goes.
#include <mbstring.h>

#include <cstdio>
#include <cstring>

#include "base/text_convert.h"
#include "base/text_cut.h"
#include "base/exception_guard.h"
#include "base/address_wait.h"
#include "base/local_clock.h"
#include "base/reentry_depth.h"
#include "tracelog/line_queue.h"
#include "tracelog/trace_log.h"

namespace qelvorn {

TraceLog traceLog;

namespace {

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

bool SlotPath(char* out, size_t size, const char* programName, int slot, DWORD processId) {
  int n = snprintf(out, size, "%s%s%s%02d%s(%d)%s", traceLog.directory, "$$$", programName, slot,
                   "$$$", static_cast<int>(processId), ".txt");
  return n >= 0 && static_cast<size_t>(n) < size;
}

// The executable's file name after its last separator, cut before its first dot.
bool ProgramName(char* out, size_t size) {
  char modulePath[260];
  DWORD length = GetModuleFileNameA(nullptr, modulePath, sizeof modulePath);
  if (length == 0 || length >= sizeof modulePath) return false;
  const char* name = FileNamePart(modulePath);
  if (name == modulePath) return false;
  snprintf(out, size, "%s", name);
  unsigned char* dot = _mbschr(reinterpret_cast<unsigned char*>(out), '.');
  if (dot != nullptr) *dot = '\0';
  return true;
}

// Deletes every file of the slot (any process id); false when one cannot be deleted,
// as when another running copy of the program still writes it.
bool DeleteSlotFiles(int slot) {
  char pattern[260];
  if (!SlotPattern(pattern, sizeof pattern, traceLog.programName, slot)) return false;
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

bool OpenSlot(int slot) {
  if (!DeleteSlotFiles(slot) || !SlotPath(traceLog.path, sizeof traceLog.path, traceLog.programName,
                                          slot, GetCurrentProcessId())) {
    return false;
  }
  traceLog.file = CreateFileA(traceLog.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr);
  return traceLog.file != INVALID_HANDLE_VALUE;
}

// The slot the ring picks; at a roll-over, when that one cannot be opened, each following
// one until one opens, but never the slot just filled: reopening it would delete the lines
// just written. Runs under the lock and asks the loader nothing.
bool OpenLogInRing(bool moveOn) {
  int filled = traceLog.slot;
  traceLog.file = INVALID_HANDLE_VALUE;
  traceLog.slot = -1;
  int first = ChooseLogSlot(traceLog.programName, GetCurrentProcessId());
  if (first < 0) {
    traceLog.path[0] = '\0';
    return false;
  }
  for (int step = 0; step < (moveOn ? kLogSlotCount : 1); ++step) {
    int slot = (first + step) % kLogSlotCount;
    if (moveOn && slot == filled) continue;
    if (OpenSlot(slot)) {
      traceLog.slot = slot;
      return true;
    }
  }
  traceLog.path[0] = '\0';
  return false;
}

// Where a flush costs as much as many writes (a disk), a thread that finds the log free
// waits a little for the lines of the threads that the last flushes served, so that one
// flush serves them all instead of its line alone and then theirs.
constexpr uint64_t kWritesPerSlowFlush = 16;
// The longest wait for company, as a share of a flush, and in rounds should the count
// not move.
constexpr uint64_t kCompanyShare = 8;
constexpr int kCompanyRoundsMax = 65536;

bool FlushIsSlow() {
  const FlushPace& pace = traceLog.pace;
  return traceLog.flushEachWrite && pace.flushCost > kWritesPerSlowFlush * pace.writeCost;
}

// Keeps cost in the window and answers the lowest cost in it.
uint64_t Remember(uint64_t* window, int& next, uint64_t cost) {
  window[next] = cost;
  next = (next + 1) % FlushPace::kWindow;
  uint64_t lowest = cost;
  for (int i = 0; i < FlushPace::kWindow; ++i) lowest = window[i] < lowest ? window[i] : lowest;
  return lowest;
}

bool FlushLog() {
  // A log silenced by a failed roll-over has nothing to flush, and asks the system nothing.
  if (traceLog.file == INVALID_HANDLE_VALUE) return false;
  uint64_t start = DurationCount();
  if (!FlushFileBuffers(traceLog.file)) return false;
  FlushPace& pace = traceLog.pace;
  uint64_t cost = DurationCount() - start;
  pace.flushCost = Remember(pace.flushes, pace.nextFlush, cost);
  ++traceLog.flushes;
  traceLog.flushTime += cost;
  traceLog.unflushed = false;
  // The company falls by one with each flush that serves fewer lines, so a thread that
  // stopped writing costs a few short waits, not one every flush.
  int served = pace.served < kQueuedLinesMax + 1 ? pace.served : kQueuedLinesMax + 1;
  pace.company = served >= pace.company ? served : pace.company - 1;
  pace.served = 0;
  traceLog.slowFlush = FlushIsSlow();
  return true;
}

// Lets the threads that the last flushes served queue their lines while this one holds
// the log, for at most a share of a flush.
void AwaitCompany(int unqueued) {
  const FlushPace& pace = traceLog.pace;
  int wanted = pace.company;
  uint64_t patience = pace.flushCost / kCompanyShare;
  uint64_t start = DurationCount();
  for (int round = 0; round < kCompanyRoundsMax && QueuedLineCount() + unqueued < wanted &&
                      DurationCount() - start < patience;
       ++round) {
    SwitchToThread();
  }
}

// The count outlives set-ups and never drops without a roll-over, so with no size limit it
// stops at the largest value instead of wrapping.
void CountWritten(DWORD written) {
  int64_t sum = static_cast<int64_t>(traceLog.bytesWritten) + written;
  traceLog.bytesWritten = sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
}

// Lines written and not yet flushed are flushed before the file is let go, so that a
// closed file is on the disk whichever [Option]flush says.
bool CloseFileHandle() {
  if (traceLog.file == INVALID_HANDLE_VALUE) return true;
  if (traceLog.unflushed) FlushLog();
  if (!CloseHandle(traceLog.file)) return false;
  traceLog.file = INVALID_HANDLE_VALUE;
  traceLog.unflushed = false;
  return true;
}

// One write of length bytes (lines lines) with its count and roll-over, whole under the
// lock, and its flush unless turned off or left to the caller (flush false: the caller
// flushes it with later lines). Unflushed, the line is still with the system when this
// returns, so a killed program loses none of it.
bool WriteUnderLock(const char* text, size_t length, int lines, bool flush) {
  if (traceLog.file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  uint64_t start = traceLog.flushEachWrite ? DurationCount() : 0;
  if (!WriteFile(traceLog.file, text, static_cast<DWORD>(length), &written, nullptr)) {
    return false;
  }
  if (traceLog.flushEachWrite) {
    FlushPace& pace = traceLog.pace;
    pace.writeCost = Remember(pace.writes, pace.nextWrite, DurationCount() - start);
    traceLog.slowFlush = FlushIsSlow();
  }
  traceLog.unflushed = true;
  traceLog.pace.served += lines;
  bool rollsOver = traceLog.maxSize > 0 &&
                   static_cast<int64_t>(traceLog.bytesWritten) + written >= traceLog.maxSize;
  if (traceLog.flushEachWrite && (flush || rollsOver) && !FlushLog()) return false;
  CountWritten(written);
  if (rollsOver) {
    // The line is in the file; a roll-over that finds no slot silences later lines. A close
    // fails only for a handle that no longer works, so the ring moves on all the same. Only
    // a completed roll-over starts the count afresh: a second set-up carries it on.
    CloseFileHandle();
    if (OpenLogInRing(true)) traceLog.bytesWritten = 0;
  }
  return true;
}

// The writers of the lines settled during the present hold of the log, woken once it is
// let go. Used only by the holder; should it fault before the leave, the next holder's
// leave wakes them, and a writer left unwoken reads its outcome when its wait times out.
struct PendingWakes {
  static constexpr int kMax = 2 * kQueuedLinesMax;
  int count = 0;
  int tickets[kMax];
};
PendingWakes pendingWakes;

void SettleAndWake(int ticket, bool written) {
  SettleLine(ticket, written);
  if (pendingWakes.count < PendingWakes::kMax) {
    pendingWakes.tickets[pendingWakes.count++] = ticket;
  } else {
    WakeLineWriter(ticket);
  }
}

// Writes the queued lines with one write and flush for them all, split only where the
// log rolls over, so that every file ends at the line it would end at if each line had
// been written alone.
void WriteQueuedLines() {
  if (!LinesQueued()) return;
  LineBatch* batch = TakeQueuedLines();
  if (batch == nullptr) return;
  uint32_t from = 0;
  int first = 0;
  for (int i = 0; i < batch->count; ++i) {
    uint32_t end = batch->ends[i];
    bool rollsOver = traceLog.maxSize > 0 &&
                     static_cast<int64_t>(traceLog.bytesWritten) + (end - from) >= traceLog.maxSize;
    if (i + 1 < batch->count && !rollsOver) continue;
    bool written = WriteUnderLock(batch->bytes + from, end - from, i + 1 - first, true);
    for (; first <= i; ++first) SettleAndWake(batch->tickets[first], written);
    from = end;
  }
}

// Lets the log go. The last leave first writes the lines queued meanwhile, and then wakes
// the writer of any line queued since, which takes the log and writes those in turn. Where
// a flush is slow it leaves them all to that writer, which first waits for company.
void LeaveLog() {
  int wakes[PendingWakes::kMax];
  int wakeCount = 0;
  if (HeldDepth(traceLog.lock) == 1) {
    if (!FlushIsSlow()) WriteQueuedLines();
    wakeCount = pendingWakes.count;
    for (int i = 0; i < wakeCount; ++i) wakes[i] = pendingWakes.tickets[i];
    pendingWakes.count = 0;
  }
  LeaveOwnedLock(traceLog.lock);
  for (int i = 0; i < wakeCount; ++i) WakeLineWriter(wakes[i]);
  if (LinesQueued() && HeldDepth(traceLog.lock) == 0) NudgeOldestQueued();
}

struct LogHold {
  LogHold() : held_(EnterOwnedLock(traceLog.lock)) {}
  ~LogHold() {
    if (held_) LeaveLog();
  }
  bool held() const { return held_; }
  LogHold(const LogHold&) = delete;
  LogHold& operator=(const LogHold&) = delete;

 private:
  bool held_;
};

// Waits until the holder of the log has written the queued line, or until the writer
// may take the log and write the queue itself. Refused, like any wait for the log, when
// the holder has ended; a line whose batch was abandoned by a faulted holder is lost.
bool AwaitQueuedLine(int ticket) {
  volatile LONG* state = LineState(ticket);
  DWORD since = GetTickCount();
  for (unsigned round = 0;; ++round) {
    LONG seen = *state;
    if (seen == kLineWritten || seen == kLineFailed) break;
    if (seen == kLineNudged) InterlockedCompareExchange(state, kLineWaiting, kLineNudged);
    if (TryEnterOwnedLock(traceLog.lock)) {
      if (FlushIsSlow()) AwaitCompany(0);
      WriteQueuedLines();
      LeaveLog();
      break;
    }
    // Behind a slow flush a yield only takes processor time from the threads still to
    // come, and from the disk's own work where it is emulated.
    WaitWhileWordIs(state, kLineWaiting, kHolderPatienceMs,
                    traceLog.slowFlush ? round + kYieldRounds : round);
    if (*state == kLineWaiting && GetTickCount() - since >= kHolderPatienceMs) {
      if (HolderHasEnded(traceLog.lock)) return false;
      since = GetTickCount();
    }
  }
  LONG outcome = *state;
  // Still unsettled after this writer's own turn at the log: the line was taken by a
  // holder that faulted, or is stuck in a broken queue. The ticket is kept, so that a late
  // settle can never land on another writer's line.
  if (outcome != kLineWritten && outcome != kLineFailed) return false;
  ReturnTicket(ticket);
  return outcome == kLineWritten;
}

// A line and its end in one write when they fit a small buffer, else two under one hold.
bool WriteHeld(const char* text, size_t length, const char* tail, size_t tailLength, bool flush) {
  if (tailLength == 0) return WriteUnderLock(text, length, 1, flush);
  char joined[512];
  if (length + tailLength <= sizeof joined) {
    memcpy(joined, text, length);
    memcpy(joined + length, tail, tailLength);
    return WriteUnderLock(joined, length + tailLength, 1, flush);
  }
  if (traceLog.file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  if (!WriteFile(traceLog.file, text, static_cast<DWORD>(length), &written, nullptr)) return false;
  CountWritten(written);
  return WriteUnderLock(tail, tailLength, 1, flush);
}

// A free log (or one this thread holds) is written at once; a busy one takes the line
// into the queue that its holder writes before letting go. The thread that takes a free
// log writes its line and the lines queued meanwhile, and flushes them all at once; where
// a flush is slow it waits for company before the queued ones.
bool WriteLocked(const char* text, size_t length, const char* tail, size_t tailLength) {
  ThreadGuardScope guard;
  if (TryEnterOwnedLock(traceLog.lock)) {
    bool written;
    if (HeldDepth(traceLog.lock) == 1 && traceLog.flushEachWrite) {
      written = WriteHeld(text, length, tail, tailLength, false);
      if (FlushIsSlow()) AwaitCompany(1);
      WriteQueuedLines();
      written = (!traceLog.unflushed || FlushLog()) && written;
    } else {
      written = WriteHeld(text, length, tail, tailLength, true);
    }
    LeaveLog();
    return written;
  }
  int ticket = QueueLine(text, length, tail, tailLength);
  if (ticket >= 0) return AwaitQueuedLine(ticket);
  LogHold hold;
  return hold.held() && WriteHeld(text, length, tail, tailLength, true);
}

}  // namespace

bool HoldLogLock() {
  return EnterOwnedLock(traceLog.lock);
}

void ReleaseLogLock() {
  LeaveLog();
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
  if (!SlotPath(traceLog.path, sizeof traceLog.path, programName, chosen, processId)) return -1;
  return chosen;
}

bool CreateLogFile() {
  if (traceLog.programName[0] == '\0' &&
      !ProgramName(traceLog.programName, sizeof traceLog.programName)) {
    traceLog.file = INVALID_HANDLE_VALUE;
    traceLog.path[0] = '\0';
    return false;
  }
  LogHold hold;
  if (!hold.held()) return false;
  // A new log may lie on another disk, and its lines come at another pace.
  traceLog.pace = FlushPace();
  traceLog.slowFlush = false;
  return OpenLogInRing(false);
}

bool CloseLogFile() {
  LogHold hold;
  if (!hold.held()) return false;
  // Lines queued before the close are the log's last ones, not refused ones.
  WriteQueuedLines();
  return CloseFileHandle();
}

bool WriteText(const char* text, bool force) {
  if (!force && !traceLog.active) return true;
  size_t length = 0;
  // The caller has tested the first 260 bytes; a longer text that turns unreadable is
  // refused.
  if (Guarded([&] { length = strlen(text); }) != GuardOutcome::kCompleted) return false;
  return WriteLocked(text, length, nullptr, 0);
}

bool WriteBytes(const char* text, size_t length, bool force) {
  if (!force && !traceLog.active) return true;
  return WriteLocked(text, length, nullptr, 0);
}

bool WriteLine(const char* text, bool force) {
  if (!force && !traceLog.active) return true;
  // Room for CR LF and the terminator in a line buffer; a longer text loses its tail,
  // never the line end, and never half a character.
  size_t length = strnlen(text, kLineCapacity - 3);
  if (length == kLineCapacity - 3) length = WholeCharacterLength(text, length);
  return WriteLocked(text, length, "\r\n", 2);
}

}  // namespace qelvorn
