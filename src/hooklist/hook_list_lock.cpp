// The lock over the hook list's tables.
#include "hooklist/hook_list_lock.h"

namespace qelvorn {

OwnedLock listingLock;

ListingHold::ListingHold() : held_(EnterOwnedLock(listingLock)) {}

ListingHold::~ListingHold() {
  if (held_) LeaveOwnedLock(listingLock);
}

}  // namespace qelvorn
