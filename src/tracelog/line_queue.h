// Lines that wait while another thread holds the log. The holder writes every waiting line
// with one write and one flush before it lets the log go (where a flush is slow, the writer
// of the oldest line does, once more lines came), so under load one flush serves many lines; a
// waiting thread returns once its own line is in the file, or when it is refused as every wait for
// the log is.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace qelvorn {

constexpr int kQueuedLinesMax = 32;
constexpr size_t kQueuedBytesMax = 32768;

// The lines taken from the queue at one moment, in the order they came, end to end.
struct LineBatch {
  char bytes[kQueuedBytesMax];
  uint32_t used;
  int count;
  uint32_t ends[kQueuedLinesMax];  // the offset just after each line
  int tickets[kQueuedLinesMax];    // what each line's writer waits on
};

// A line's state. Nudged tells a waiting writer to try to take the log itself.
enum : LONG { kLineWaiting = 0, kLineNudged = 1, kLineWritten = 2, kLineFailed = 3 };

// Copies text and then tail to the queue as one line; the ticket its writer waits on, or
// -1 when the queue has no room or ticket for it, or is switched off (the writer then
// waits for the log itself).
int QueueLine(const char* text, size_t length, const char* tail, size_t tailLength);
// Read without the lock: after a writer queues a line it tries the log, and a holder
// looks here after letting the log go, so one of the two always sees the line.
bool LinesQueued();
// Empties the queue into a batch that stays valid until the next take. Only the log's
// holder takes, so no two batches are ever in use at once. Null when nothing waits.
LineBatch* TakeQueuedLines();
// Gives a taken line its outcome. Its writer is woken by WakeLineWriter once the log is let
// go: a wake-up may hand the processor to the woken thread, and a holder that loses it
// there keeps every other writer waiting. A writer that is not woken still reads its
// outcome when its wait times out.
void SettleLine(int ticket, bool written);
void WakeLineWriter(int ticket);
// Wakes the writer of the oldest queued line, so that it takes the log and writes them;
// the wake-up comes after the queue's lock is let go.
void NudgeOldestQueued();
volatile LONG* LineState(int ticket);
// Frees the ticket once its writer has read the outcome.
void ReturnTicket(int ticket);
// How many lines wait in the queue, read without the lock: for a holder waiting for the
// lines of other threads, and for tests that must see the queue filled.
int QueuedLineCount();
// How many lines have been queued since the library loaded, for the benchmark.
uint32_t LinesEverQueued();

}  // namespace qelvorn
