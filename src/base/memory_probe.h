// The readability test for memory that came from a traced call. It asks the memory
// manager rather than touching the memory, so a stack guard page is never consumed, and
// each thread remembers the last few readable regions it was told of, so that the common
// case (the same heap, stack and image regions call after call) costs no system call.
// A remembered region can go stale (freed or re-protected since): readers of traced memory
// therefore read under the catch-all and, after a fault, forget and ask again.
#pragma once

#include <cstddef>

namespace qelvorn {

// True when the first byte can be read. Null, freed, never-reserved and guard pages are
// unreadable.
bool IsReadable(const void* address);
// How many bytes from address on, at most limit, can be read without a fault: the reads
// of a text or an array stop there. Neither test changes the thread's last error.
size_t ReadableBytes(const void* address, size_t limit);
// True when text can be read up to its NUL, or for limit bytes when it has none before
// them: the test IsBadStringPtrA makes, asked of the memory manager afresh (no remembered
// region) and so without touching a guard page. For texts the host hands the library.
bool IsReadableText(const char* text, size_t limit);
// Forgets the calling thread's remembered regions.
void ForgetReadableRegions();

}  // namespace qelvorn
