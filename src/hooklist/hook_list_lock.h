// The lock over the hook list's tables and the records in them.
#pragma once

#include "base/owned_lock.h"

namespace qelvorn {

// Serialises the users of the hook list's tables: set-up (which also fills them), the
// listings, clean-up and the module-tracking callbacks on any thread. Re-entrant. The
// listing's line builder is used only under it too.
extern OwnedLock listingLock;

struct ListingHold {
  ListingHold();
  ~ListingHold();
  bool held() const { return held_; }
  ListingHold(const ListingHold&) = delete;
  ListingHold& operator=(const ListingHold&) = delete;

 private:
  bool held_;
};

}  // namespace qelvorn
