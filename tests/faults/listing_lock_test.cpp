// Locks after a caught fault: a fault inside the catch-all while the listing lock is held
// must not leave the lock owned, or every later load, free, set-up and clean-up blocks.
#include <gtest/gtest.h>

#include <windows.h>

#include "base/exception_guard.h"
#include "hooklist/hook_list_lock.h"

using namespace qelvorn;

namespace {

DWORD WINAPI TakeListingLock(void*) {
  ListingHold hold;
  return hold.held() ? 0 : 1;
}

}  // namespace

TEST(LocksAfterAFault, TheListingLockIsFreeAfterACaughtFault) {
  GuardOutcome outcome = Guarded([] {
    EnterOwnedLock(listingLock);
    *static_cast<volatile int*>(nullptr) = 1;
  });
  ASSERT_EQ(GuardOutcome::kStructuredException, outcome);
  HANDLE other = CreateThread(nullptr, 0, TakeListingLock, nullptr, 0, nullptr);
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(other, 10000))
      << "the listing lock is still held by the thread whose fault was caught";
  CloseHandle(other);
}
