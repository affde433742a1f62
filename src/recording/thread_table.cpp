// The thread table: one lock around look-up and insertion, so that threads arriving at
// the same moment get distinct numbers. Entries are never removed.
#include "recording/thread_table.h"

#include <windows.h>

#include <cstdio>
#include <map>

#include "tracelog/line_builder.h"

namespace {

struct ThreadTable {
  CRITICAL_SECTION lock;
  std::map<uint32_t, int32_t> numbers;
  ThreadTable() { InitializeCriticalSectionAndSpinCount(&lock, 4000); }
  ~ThreadTable() { DeleteCriticalSection(&lock); }
};

ThreadTable threadTable;

}  // namespace

bool AppendThreadNumber(LineBuilder& line, char* announcement, bool* isNew) {
  uint32_t id = GetCurrentThreadId();
  int32_t number = 0;
  *isNew = false;
  EnterCriticalSection(&threadTable.lock);
  auto found = threadTable.numbers.find(id);
  if (found != threadTable.numbers.end()) {
    number = found->second;
  } else {
    // Allocation can fail on a traced call; the thread then shows number 0 this time.
    try {
      number = static_cast<int32_t>(threadTable.numbers.size()) + 1;
      threadTable.numbers.emplace(id, number);
      *isNew = true;
    } catch (...) {
      number = 0;
    }
  }
  LeaveCriticalSection(&threadTable.lock);
  if (*isNew) {
    snprintf(announcement, 260, "new thread : (%3d) %08x", static_cast<int>(number),
             static_cast<unsigned>(id));
  }
  char digits[16];
  snprintf(digits, sizeof digits, "%3d", static_cast<int>(number));
  return line.AppendText(digits);
}
