#include "velk/collections/occurrence_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace {

using Value = std::shared_ptr<int>;

std::vector<int> contents(const velk::OccurrenceList<Value>& list) {
  std::vector<int> out;
  for (const Value& v : list) out.push_back(*v);
  return out;
}

// Random pushes, pops and erases, in and out of the inline value and across moves, agree with a
// vector; every value is released exactly once (a shared value's count comes back to one).
TEST(OccurrenceList, FollowsAVectorAndReleasesEveryValue) {
  const Value shared = std::make_shared<int>(-1);
  std::mt19937 rng(3);
  velk::OccurrenceList<Value> list;
  std::vector<int> model;
  for (int step = 0; step < 2000; ++step) {
    const unsigned op = rng() % 4;
    if (op < 2 || model.empty()) {
      list.push_back(step % 5 == 0 ? shared : std::make_shared<int>(step));
      model.push_back(step % 5 == 0 ? -1 : step);
    } else if (op == 2) {
      list.pop_back();
      model.pop_back();
    } else {
      const size_t at = rng() % model.size();
      list.erase(list.begin() + at);
      model.erase(model.begin() + ptrdiff_t(at));
    }
    if (step % 97 == 0) list = velk::OccurrenceList<Value>(std::move(list));
    ASSERT_EQ(contents(list), model) << "step " << step;
  }
  velk::OccurrenceList<Value> one;
  one.push_back(shared);
  velk::OccurrenceList<Value> moved(std::move(one));
  EXPECT_TRUE(one.empty());
  EXPECT_EQ(*moved.back(), -1);
  list = std::move(moved);
  EXPECT_EQ(shared.use_count(), 2);
  list = velk::OccurrenceList<Value>();
  EXPECT_EQ(shared.use_count(), 1);
}

}  // namespace
