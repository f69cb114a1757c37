#include "velk/memory/value_slot.h"

#include "test_support.h"
#include "velk/memory/generic_arena.h"

using velk::GenericArena;

namespace {
constexpr const char* kNeverWritten = "ValueSlot::read on a slot that was never written";
}

TEST(ValueSlot, EmptySlotFailsReadsAndAnEqualWriteKeepsTheCell) {
  velk::ValueSlot<uint64_t> slot;
  EXPECT_FAILURE(slot.read(), kNeverWritten);
  EXPECT_FALSE(slot.equals(0));
  slot.write(5);
  velk::HazardHolder holder;
  const velk::Cell<uint64_t>* before = slot.protect(holder);
  EXPECT_FALSE(slot.write_if_changed(5));
  EXPECT_EQ(slot.protect(holder), before);
  EXPECT_TRUE(slot.write_if_changed(6));
  EXPECT_EQ(slot.read(), 6u);
}

// A reclaimed cell's block serves the thread's next write; a protected one is not reused, and
// each thread's pool stays bounded (its blocks are freed at thread exit: the leak check sees it).
TEST(ValueSlot, ReclaimedCellsAreReusedOnlyOnceNoReaderProtectsThem) {
  velk::HazardDomain& domain = velk::HazardDomain::global();
  domain.reclaim();  // nothing of earlier tests left to free in between
  velk::ValueSlot<uint64_t> slot;
  slot.write(1);
  velk::HazardHolder holder;
  const velk::Cell<uint64_t>* first = slot.protect(holder);
  slot.write(2);
  domain.reclaim();
  velk::ValueSlot<uint64_t> other;
  velk::HazardHolder other_holder;
  other.write(3);
  EXPECT_NE(other.protect(other_holder), first);
  EXPECT_EQ(first->value, 1u);
  holder.reset();
  domain.reclaim();
  other.write(4);
  EXPECT_EQ(other.protect(other_holder), first);
  std::thread([] {
    velk::ValueSlot<uint64_t> local;
    for (uint64_t v = 0; v < 5000; ++v) local.write(v);
    velk::HazardDomain::global().reclaim();
    EXPECT_GT(velk::cell_pool_cached_on_this_thread(), 0u);
    EXPECT_LE(velk::cell_pool_cached_on_this_thread(), 512u);
  }).join();
}

TEST(GenericArena, EmptyFreedAndOutOfRangeIndicesFail) {
  GenericArena<uint64_t> arena;
  const uint32_t index = arena.alloc_empty();
  EXPECT_FAILURE(arena.read(index), kNeverWritten);
  EXPECT_FALSE(arena.equals(index, 0));
  EXPECT_TRUE(arena.write_if_changed(index, 0));  // empty never compares equal
  EXPECT_FALSE(arena.write_if_changed(index, 0));
  arena.free(index);
  EXPECT_FAILURE(arena.read(index), kNeverWritten);
  const char* range = "GenericArena: index out of range: the index is 9 but the length is 1";
  EXPECT_FAILURE(arena.read(9), range);
  EXPECT_FAILURE(arena.write(9, 1), range);
  EXPECT_FAILURE(arena.free(9), range);
}

TEST(GenericArena, FreedIndicesComeBackMostRecentFirst) {
  GenericArena<uint64_t> arena;
  for (uint64_t v = 0; v < 4; ++v) arena.alloc(v);
  arena.free(1);
  arena.free(3);
  EXPECT_EQ(arena.alloc(77), 3u);
  EXPECT_EQ(arena.alloc_empty(), 1u);
  EXPECT_EQ(arena.alloc(88), 4u);
  EXPECT_EQ(arena.read(3), 77u);
}

// Readers race writers replacing cells and an allocator growing the arrays. Every value read
// must be one written to that index (index in the high half, write count in the low half), and
// no read may touch a freed cell (the address sanitizer run checks that).
TEST(GenericArena, ReadsRacingWritesSeeOnlyWrittenValues) {
  velk_test::DeadlockGuard guard;
  constexpr uint32_t kIndices = 16;
  const uint64_t writes = 5000 * velk_test::kScale;
  GenericArena<uint64_t> arena;
  std::vector<std::atomic<uint64_t>> latest(kIndices);
  for (uint64_t i = 0; i < kIndices; ++i) arena.alloc(i << 32);
  std::atomic<int> writers_left{2}, bad{0};
  velk_test::run_threads(5, [&](int t) {
    if (t < 2) {
      for (uint64_t n = 1; n <= writes; ++n) {
        for (uint32_t i = t; i < kIndices; i += 2) {
          latest[i].store(n);
          if (n % 2)
            arena.write(i, uint64_t(i) << 32 | n);
          else
            arena.write_if_changed(i, uint64_t(i) << 32 | n);
        }
      }
      --writers_left;
    } else if (t == 2) {  // resizes the arrays under the exclusive lock
      for (int n = 0; writers_left.load() > 0 && n < (1 << 18); ++n) arena.alloc(0);
    } else {
      while (writers_left.load() > 0) {
        for (uint32_t i = 0; i < kIndices; ++i) {
          const uint64_t v = arena.read(i);
          bad += (v >> 32) != i || (v & 0xFFFFFFFF) > latest[i].load();
        }
      }
    }
  });
  EXPECT_EQ(bad.load(), 0);
  for (uint64_t i = 0; i < kIndices; ++i) EXPECT_EQ(arena.read(i), i << 32 | writes);
}
