// The queue of lines waiting for the log: a small lock of its own, held only to copy a
// line in or to swap the batch out, and fixed storage, so nothing is allocated on the
// traced call's path.
#include "tracelog/line_queue.h"

#include "base/address_wait.h"
#include "base/owned_lock.h"
#include "base/short_copy.h"

namespace qelvorn {

namespace {

OwnedLock queueLock;
// Set for good when the queue's lock is refused (its holder was killed while copying a
// line): from then on no line is queued, and every writer waits for the log itself, so
// no one waits again on a lock that will never be free.
volatile bool queueBroken = false;
LineBatch batches[2];
LineBatch* filling = &batches[0];
volatile LONG queuedCount = 0;  // filling->count, for reads without the lock
uint32_t everQueued = 0;        // counted under the lock

// A ticket stays taken until its writer has read the outcome. A writer refused because the
// log's holder died never returns its ticket, so there are more tickets than queued lines.
constexpr int kTicketCount = 2 * kQueuedLinesMax + 8;
volatile LONG ticketTaken[kTicketCount];
volatile LONG lineStates[kTicketCount];

int TakeTicket() {
  for (int ticket = 0; ticket < kTicketCount; ++ticket) {
    if (ticketTaken[ticket] == 0) {
      ticketTaken[ticket] = 1;
      lineStates[ticket] = kLineWaiting;
      return ticket;
    }
  }
  return -1;
}

// Holds the queue's lock for one scope; a refusal breaks the queue for good.
struct QueueHold {
  QueueHold() : held_(!queueBroken && EnterOwnedLock(queueLock)) {
    if (!held_ && !queueBroken) {
      queueBroken = true;
      InterlockedExchange(&queuedCount, 0);
    }
  }
  ~QueueHold() {
    if (held_) LeaveOwnedLock(queueLock);
  }
  bool held() const { return held_; }
  QueueHold(const QueueHold&) = delete;
  QueueHold& operator=(const QueueHold&) = delete;

 private:
  bool held_;
};

}  // namespace

int QueueLine(const char* text, size_t length, const char* tail, size_t tailLength) {
  QueueHold hold;
  if (!hold.held()) return -1;
  LineBatch& batch = *filling;
  if (batch.count == kQueuedLinesMax || length > kQueuedBytesMax - batch.used ||
      tailLength > kQueuedBytesMax - batch.used - length) {
    return -1;
  }
  // Copied before a ticket is taken: a copy that faults leaves neither a line nor a ticket.
  CopyShort(batch.bytes + batch.used, text, length);
  CopyShort(batch.bytes + batch.used + length, tail, tailLength);
  int ticket = TakeTicket();
  if (ticket < 0) return -1;
  batch.used += static_cast<uint32_t>(length + tailLength);
  batch.ends[batch.count] = batch.used;
  batch.tickets[batch.count] = ticket;
  ++batch.count;
  ++everQueued;
  InterlockedExchange(&queuedCount, batch.count);
  return ticket;
}

bool LinesQueued() {
  return queuedCount != 0;
}

int QueuedLineCount() {
  return queuedCount;
}

uint32_t LinesEverQueued() {
  return everQueued;
}

LineBatch* TakeQueuedLines() {
  QueueHold hold;
  if (!hold.held() || filling->count == 0) return nullptr;
  LineBatch* taken = filling;
  filling = taken == &batches[0] ? &batches[1] : &batches[0];
  filling->used = 0;
  filling->count = 0;
  InterlockedExchange(&queuedCount, 0);
  return taken;
}

void SettleLine(int ticket, bool written) {
  InterlockedExchange(&lineStates[ticket], written ? kLineWritten : kLineFailed);
}

void WakeLineWriter(int ticket) {
  WakeWordWaiter(&lineStates[ticket]);
}

void NudgeOldestQueued() {
  volatile LONG* state = nullptr;
  {
    QueueHold hold;
    if (!hold.held() || filling->count == 0) return;
    state = &lineStates[filling->tickets[0]];
    InterlockedCompareExchange(state, kLineNudged, kLineWaiting);
  }
  // Should the line be settled and its ticket taken again meanwhile, the new writer is
  // woken for nothing and waits on.
  WakeWordWaiter(state);
}

volatile LONG* LineState(int ticket) {
  return &lineStates[ticket];
}

void ReturnTicket(int ticket) {
  InterlockedExchange(&ticketTaken[ticket], 0);
}

}  // namespace qelvorn
