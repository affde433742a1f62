// The lock over the hook list's tables.
#include "hooklist/hook_list_lock.h"

OwnedLock listingLock;

ListingHold::ListingHold() : held_(EnterOwnedLock(listingLock)) {}

ListingHold::~ListingHold() {
  if (held_) LeaveOwnedLock(listingLock);
}
