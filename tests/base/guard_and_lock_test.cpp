// The catch-all and the locks that know their holder: what a fault leaves behind, a holder
// that died, and a stack overflow caught twice on one thread.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/exception_guard.h"
#include "base/owned_lock.h"
#include "base/reentry_depth.h"
#include "support/test_support.h"

using namespace qelvorn;

namespace {

OwnedLock testLock;

// CreateThread wants a stdcall function; a lambda that takes no captures becomes one here.
template <DWORD (*Body)(void*)>
DWORD WINAPI ThreadMain(void* raw) {
  return Body(raw);
}

template <DWORD (*Body)(void*)>
HANDLE StartThread(void* argument, SIZE_T stack = 0, DWORD flags = 0) {
  return CreateThread(nullptr, stack, &ThreadMain<Body>, argument, flags, nullptr);
}

void Fault() {
  *static_cast<volatile int*>(nullptr) = 1;
}

struct Try {
  OwnedLock* lock;
  bool taken;
};

DWORD TryToTake(void* raw) {
  auto* a = static_cast<Try*>(raw);
  if (EnterOwnedLock(*a->lock)) {
    a->taken = true;
    LeaveOwnedLock(*a->lock);
  }
  return 0;
}

// Whether another thread can take the lock within ten seconds (a loaded machine may take
// long to start a thread; a held lock still fails, only later).
bool OtherThreadCanTake(OwnedLock& lock) {
  Try attempt{&lock, false};
  HANDLE thread = StartThread<TryToTake>(&attempt);
  bool finished = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
  if (!finished) TerminateThread(thread, 1);
  CloseHandle(thread);
  return finished && attempt.taken;
}

TEST(ExceptionGuard, AFaultReleasesTheLocksItsFramesTookAndRestoresTheGuardCount) {
  int guardBefore = ThreadGuardCount();
  ASSERT_TRUE(EnterOwnedLock(testLock));  // held before the guarded region: stays held
  GuardOutcome outcome = Guarded([] {
    EnterOwnedLock(testLock);
    EnterOwnedLock(testLock);
    RaiseThreadGuard();
    Fault();
  });
  EXPECT_EQ(GuardOutcome::kStructuredException, outcome);
  EXPECT_EQ(1, HeldDepth(testLock));
  EXPECT_EQ(guardBefore, ThreadGuardCount());
  LeaveOwnedLock(testLock);
  EXPECT_EQ(0, HeldDepth(testLock));
  EXPECT_TRUE(OtherThreadCanTake(testLock));
}

TEST(ExceptionGuard, CppExceptionsUnwindAndAreCaught) {
  GuardOutcome outcome = Guarded([] {
    OwnedLockHold hold(testLock);
    throw 7;
  });
  EXPECT_EQ(GuardOutcome::kCppException, outcome);
  EXPECT_EQ(0, HeldDepth(testLock));
}

DWORD TakeAndEnd(void* raw) {
  EnterOwnedLock(*static_cast<OwnedLock*>(raw));
  return 0;  // ends without leaving, as a thread killed at process exit would
}

struct Result {
  OwnedLock* lock;
  int answer;
};

DWORD Answer(void* raw) {
  auto* r = static_cast<Result*>(raw);
  r->answer = EnterOwnedLock(*r->lock) ? 1 : 0;
  return 0;
}

// Waits run with address waits (Windows 8 on) and without them, as before Windows 8.
const bool kAddressWaitModes[] = {true, false};

TEST(OwnedLock, AHolderThatEndedIsReportedInsteadOfWaitedFor) {
  for (bool addressWaits : kAddressWaitModes) {
    qeltest::AddressWaitsScope waits(addressWaits);
    OwnedLock* lock = new OwnedLock;  // left held for ever by the ended thread
    HANDLE thread = StartThread<TakeAndEnd>(lock);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    Result result{lock, -1};
    HANDLE waiter = StartThread<Answer>(&result);
    bool finished = WaitForSingleObject(waiter, 10000) == WAIT_OBJECT_0;
    if (!finished) TerminateThread(waiter, 1);
    EXPECT_TRUE(finished) << "the waiter hung on a lock whose holder had ended; address waits "
                          << addressWaits;
    EXPECT_EQ(0, result.answer) << addressWaits;
    CloseHandle(waiter);
    CloseHandle(thread);
  }
}

// Eight threads taking one lock many times, each time for a read-modify-write that a
// second holder would spoil: the count comes out exact only if no two ever held it at once,
// and the run ends only if every waiter was let in.
struct Contended {
  OwnedLock* lock;
  volatile int count;
  volatile LONG refused;
};

constexpr int kRoundsPerThread = 3000;

DWORD TakeManyTimes(void* raw) {
  auto* shared = static_cast<Contended*>(raw);
  for (int i = 0; i < kRoundsPerThread; ++i) {
    if (!EnterOwnedLock(*shared->lock)) {
      InterlockedIncrement(&shared->refused);
      continue;
    }
    int before = shared->count;
    if (i % 64 == 0) SwitchToThread();  // let others queue up behind the holder
    shared->count = before + 1;
    LeaveOwnedLock(*shared->lock);
  }
  return 0;
}

TEST(OwnedLock, HoldersExcludeEachOtherAndEveryWaiterGetsIn) {
  static OwnedLock lock;
  for (bool addressWaits : kAddressWaitModes) {
    qeltest::AddressWaitsScope waits(addressWaits);
    Contended shared{&lock, 0, 0};
    HANDLE threads[8];
    for (HANDLE& thread : threads) thread = StartThread<TakeManyTimes>(&shared);
    bool finished = WaitForMultipleObjects(8, threads, TRUE, 60000) == WAIT_OBJECT_0;
    for (HANDLE thread : threads) {
      if (!finished) TerminateThread(thread, 1);
      CloseHandle(thread);
    }
    ASSERT_TRUE(finished) << "waiters were never let in; address waits " << addressWaits;
    EXPECT_EQ(0, shared.refused) << addressWaits;
    EXPECT_EQ(8 * kRoundsPerThread, shared.count) << addressWaits;
    EXPECT_EQ(0, HeldDepth(lock)) << addressWaits;
  }
}

TEST(OwnedLock, ReentryCountsAndReleaseDownTo) {
  ASSERT_TRUE(EnterOwnedLock(testLock));
  ASSERT_TRUE(EnterOwnedLock(testLock));
  ASSERT_TRUE(EnterOwnedLock(testLock));
  EXPECT_EQ(3, HeldDepth(testLock));
  ReleaseDownTo(testLock, 1);
  EXPECT_EQ(1, HeldDepth(testLock));
  LeaveOwnedLock(testLock);
  EXPECT_TRUE(OtherThreadCanTake(testLock));
}

// Deep enough to overflow any stack; the limit only keeps the compiler from calling it
// endless.
int Recurse(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  if (depth > 1000000) return pad[0];
  return Recurse(depth + 1) + pad[0];
}

struct Outcome {
  GuardOutcome first;
  GuardOutcome second;
};

DWORD OverflowTwice(void* raw) {
  auto* o = static_cast<Outcome*>(raw);
  o->first = Guarded([] { Recurse(0); });
  o->second = Guarded([] { Recurse(0); });
  return 0;
}

// Without the guard page put back, the second overflow on the thread ends the process.
TEST(ExceptionGuard, TwoStackOverflowsOnOneThreadAreBothCaught) {
  // Wine's x64 builds the exception below the faulting stack pointer and needs more than
  // the one guard page for it, so it ends the thread ("virtual_setup_exception stack
  // overflow") before any handler runs; Windows raises the overflow into the handlers.
  if (sizeof(void*) == 8 && GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")) {
    GTEST_SKIP() << "Wine x64 cannot raise a stack overflow into handlers";
  }
  Outcome outcome{GuardOutcome::kCompleted, GuardOutcome::kCompleted};
  HANDLE thread =
      StartThread<OverflowTwice>(&outcome, 256 * 1024, STACK_SIZE_PARAM_IS_A_RESERVATION);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
  CloseHandle(thread);
  EXPECT_EQ(GuardOutcome::kStructuredException, outcome.first);
  EXPECT_EQ(GuardOutcome::kStructuredException, outcome.second);
}

}  // namespace
