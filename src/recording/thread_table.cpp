// The thread table: thread id to number, one lock around look-up and insertion so that
// threads arriving at the same moment get distinct numbers. Entries are never removed, so
// a thread keeps its number in a TLS slot after its first call and later calls take no
// lock. The table outlives every caller: it is never destroyed, not even at process exit.
#include "recording/thread_table.h"

#include <windows.h>

#include <cstdio>
#include <map>

#include "base/owned_lock.h"
#include "base/tls_slot.h"

namespace qelvorn {

namespace {

struct ThreadTable {
  OwnedLock lock;
  std::map<uint32_t, int32_t> numbers;
  DWORD slot = TlsAlloc();
};

ThreadTable& threadTable = *new ThreadTable;

// The number kept for this thread, 0 when it has none yet.
int32_t CachedNumber() {
  if (threadTable.slot == TLS_OUT_OF_INDEXES) return 0;
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(ReadTlsSlot(threadTable.slot)));
}

// Looks the id up, adding it when absent; 0 when it could not be added this time.
int32_t LookUpNumber(uint32_t id, bool* isNew) {
  OwnedLockHold hold(threadTable.lock);
  if (!hold.held()) return 0;
  auto found = threadTable.numbers.find(id);
  if (found != threadTable.numbers.end()) return found->second;
  // Allocation can fail on a traced call; the thread then shows number 0 this time.
  try {
    int32_t number = static_cast<int32_t>(threadTable.numbers.size()) + 1;
    threadTable.numbers.emplace(id, number);
    *isNew = true;
    return number;
  } catch (...) {
    return 0;
  }
}

// The calling thread's number, looked up (and kept in its TLS slot) on its first call.
int32_t ThreadNumber(bool* isNew) {
  *isNew = false;
  int32_t number = CachedNumber();
  if (number != 0) return number;
  number = LookUpNumber(GetCurrentThreadId(), isNew);
  if (number != 0 && threadTable.slot != TLS_OUT_OF_INDEXES) {
    TlsSetValue(threadTable.slot, reinterpret_cast<void*>(static_cast<intptr_t>(number)));
  }
  return number;
}

}  // namespace

int32_t ThreadNumberForLine(char* announcement, bool* isNew) {
  int32_t number = ThreadNumber(isNew);
  if (*isNew) {
    snprintf(announcement, 260, "new thread : (%3d) %08x", static_cast<int>(number),
             static_cast<unsigned>(GetCurrentThreadId()));
  }
  return number;
}

bool ThreadIsNumbered() {
  return CachedNumber() != 0;
}

void NumberThisThread() {
  bool isNew = false;
  ThreadNumber(&isNew);
}

}  // namespace qelvorn
