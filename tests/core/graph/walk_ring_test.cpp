#include "velk/graph/walk_ring.h"

#include "test_support.h"

using velk::WalkRing;

TEST(WalkRing, WatermarkMovesOnlyOverAContiguousRun) {
  WalkRing ring;
  ring.complete(3);
  EXPECT_EQ(ring.watermark(), 1u);
  ring.complete(2);
  EXPECT_EQ(ring.watermark(), 3u);
}

// Revision 1026 shares a ring entry with revision 2. Posted early it would land in revision 2's
// entry, revision 2's post would then overwrite it, and W would stop at 1025.
//
//   main                          waiter
//   complete(3..1025)   W = 1
//                                 complete(1026): more than 1024 ahead of W, waits
//   complete(2)         W = 1025
//                                 posts 1026      W = 1026
TEST(WalkRing, RevisionTooFarAheadWaitsUntilTheWatermarkCatchesUp) {
  velk_test::DeadlockGuard guard;
  WalkRing ring;
  for (uint64_t r = 3; r <= 1025; ++r) ring.complete(r);
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    ring.complete(1026);
    returned = true;
  });
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();  // give the waiter time to wait
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(ring.watermark(), 1u);
  ring.complete(2);
  waiter.join();
  EXPECT_EQ(ring.watermark(), 1026u);
}

// Posters interleave revisions far past the ring size, each in rising order as writers take
// them; W must end on the last one.
TEST(WalkRing, ConcurrentPostersAdvanceToTheLastRevision) {
  velk_test::DeadlockGuard guard;
  const uint64_t last = 1 + 5000 * velk_test::kScale;
  WalkRing ring;
  velk_test::run_threads(4, [&](int t) {
    for (uint64_t r = 2 + t; r <= last; r += 4) {
      ring.complete(r);
      EXPECT_GE(ring.watermark() + WalkRing::kSize, r);
    }
  });
  EXPECT_EQ(ring.watermark(), last);
}
