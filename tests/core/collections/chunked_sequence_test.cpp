#include "velk/collections/chunked_sequence.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace {

using Seq = velk::ChunkedSequence<int>;
constexpr size_t kChunk = Seq::kMaxChunk;

// Random inserts and erases at random positions, across many chunk splits and chunk removals,
// agree with a plain vector at every step, by index and in order.
TEST(ChunkedSequence, FollowsAVectorThroughSplitsAndEmptiedChunks) {
  std::mt19937 rng(7);
  Seq seq;
  std::vector<int> model;
  for (int step = 0; step < 20000; ++step) {
    const bool grow = model.size() < 4 * kChunk ? rng() % 3 != 0 : rng() % 3 == 0;
    if (grow || model.empty()) {
      const size_t at = rng() % (model.size() + 1);
      seq.insert(at, step);
      model.insert(model.begin() + ptrdiff_t(at), step);
    } else {
      const size_t at = rng() % model.size();
      ASSERT_EQ(seq.erase(at), model[at]);
      model.erase(model.begin() + ptrdiff_t(at));
    }
    ASSERT_EQ(seq.size(), model.size());
    if (!model.empty()) {
      const size_t probe = rng() % model.size();
      ASSERT_EQ(seq[probe], model[probe]) << "step " << step;
    }
  }
  EXPECT_EQ(seq.to_vector(), model);
  while (!model.empty()) {  // drain from the front: every chunk empties and goes
    ASSERT_EQ(seq.erase(0), model.front());
    model.erase(model.begin());
  }
  EXPECT_TRUE(seq.empty());
  seq.insert(0, 1);
  EXPECT_EQ(seq.to_vector(), std::vector<int>{1});
}

TEST(ChunkedSequence, RangesCrossChunkBoundaries) {
  std::vector<int> values(3 * kChunk + 5);
  for (size_t i = 0; i < values.size(); ++i) values[i] = int(i);
  Seq seq(values);
  for (size_t first : {size_t(0), kChunk / 2 - 1, kChunk - 2, values.size() - 3}) {
    std::vector<int> got;
    seq.for_range(first, 3, [&](int v) { got.push_back(v); });
    EXPECT_EQ(got, (std::vector<int>{int(first), int(first + 1), int(first + 2)}));
  }
  seq.for_range(values.size(), 0, [](int) { FAIL() << "an empty range visits nothing"; });
}

// Elements that own resources move between chunks without copies or leaks.
TEST(ChunkedSequence, MoveOnlyElements) {
  velk::ChunkedSequence<std::unique_ptr<int>> seq;
  for (int i = 0; i < int(2 * kChunk); ++i) seq.insert(0, std::make_unique<int>(i));
  EXPECT_EQ(*seq[0], int(2 * kChunk) - 1);
  EXPECT_EQ(*seq.erase(seq.size() - 1), 0);
}

}  // namespace
