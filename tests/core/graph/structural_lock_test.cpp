// A lock token proves its hold only while its guard holds the lock in the token's mode; a Debug
// build stops at one that does not.
#include "velk/graph/structural_lock.h"

#include <gtest/gtest.h>

using velk::StructuralLock;

#ifndef NDEBUG
TEST(StructuralLockDeathTest, DebugChecksStopAtATokenThatHoldsNothing) {
  StructuralLock lock;
  {
    const StructuralLock::WriteGuard writer(lock);
    writer.dcheck();
  }
  EXPECT_DEATH(
      {
        StructuralLock::ReadGuard reader(lock);
        reader.unlock();
        reader.dcheck();
      },
      "invariant broken");
  // A fork hold proves only the hold this thread took for the fork.
  EXPECT_DEATH(StructuralLock::ForkHold(lock).dcheck(), "invariant broken");
}
#endif
