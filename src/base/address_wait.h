// Waiting until a word changes. With address waits (Windows 8 on) a long waiter blocks, so
// it leaves the processors to the thread it waits for, and is woken by that thread; without
// them it sleeps a millisecond at a time.
#pragma once

#include <windows.h>

namespace qelvorn {

// One round of a wait for *word to leave seen; the caller reads the word again and calls
// once more with round one higher (unsigned: a wait long enough to wrap it just yields a
// hundred rounds again). The first rounds only yield the processor: most waits
// here last one write and flush, less than a sleep and a wake-up cost under load, and a
// yield lets the other waiting threads format their lines meanwhile. Later rounds sleep
// until woken or timeoutMs have passed (without address waits, for a millisecond).
void WaitWhileWordIs(volatile LONG* word, LONG seen, DWORD timeoutMs, unsigned round);
// The rounds that yield; a waiter that knows its wait will be long starts after them.
constexpr unsigned kYieldRounds = 100;
// Wakes one thread waiting on word; nothing when none waits or address waits are missing.
void WakeWordWaiter(volatile LONG* word);
// How many rounds of waits have yielded and how many have slept since the library loaded,
// for the benchmark.
struct WaitRounds {
  LONG yielded;
  LONG slept;
};
WaitRounds WaitRoundsSoFar();
// Tests turn address waits off to run the waits as on a system before Windows 8.
void UseAddressWaits(bool use);

}  // namespace qelvorn
