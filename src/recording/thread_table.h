// Thread numbers 1, 2, 3 … in the order in which threads first reach a recorder.
#pragma once

#include <cstdint>

namespace qelvorn {

// The calling thread's number, adding the thread on its first call (0 when it could not
// be added this time). For a new thread, announcement receives its new-thread line (260
// bytes) and isNew is set; the recorder writes it together with the call line so the two
// stay adjacent.
int32_t ThreadNumberForLine(char* announcement, bool* isNew);
// Gives the calling thread its number if it has none yet, with no line: a thread first
// seen while tracing is inactive is never announced.
void NumberThisThread();
// Whether the calling thread has its number already (no lock, no system call).
bool ThreadIsNumbered();

}  // namespace qelvorn
