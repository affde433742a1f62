// Sleeping until a word changes. With address waits (Windows 8 on) a waiter blocks, so it
// leaves the processors to the thread it waits for, and is woken by that thread; without
// them it yields, then sleeps a millisecond at a time.
#pragma once

#include <windows.h>

// Returns when *word no longer holds seen, when woken, or after about timeoutMs, whichever
// comes first; the caller reads the word again. waitedMs tells the fallback how long the
// caller has waited already: it yields at first and sleeps once the wait has grown long.
void WaitWhileWordIs(volatile LONG* word, LONG seen, DWORD timeoutMs, DWORD waitedMs);
// Wakes one thread waiting on word; nothing when none waits or address waits are missing.
void WakeWordWaiter(volatile LONG* word);
