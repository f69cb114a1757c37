// The dependents table against a plain multiset, through lists that grow past the indexed
// length and shrink back, with repeated entries and removals from anywhere.
#include <algorithm>
#include <random>
#include <set>

#include "test_support.h"
#include "velk/graph/dependents_table.h"

TEST(DependentsTable, MatchesAMultisetThroughIndexingAndShrinking) {
  velk::DependentsTable table;
  std::vector<std::multiset<uint32_t>> model(3);
  for (int i = 0; i < 3; ++i) table.add_slot();
  std::mt19937 rng(7);
  for (int step = 0; step < 20000; ++step) {
    const uint32_t slot = rng() % 3;
    const uint32_t dependent = rng() % 40;
    // Phases of growth and of shrinking carry the lists across the index threshold both ways.
    if ((step / 500) % 2 == 0 ? rng() % 4 != 0 : rng() % 4 == 0) {
      table.add(slot, dependent);
      model[slot].insert(dependent);
    } else {
      table.remove(slot, dependent);
      model[slot].erase(dependent);
    }
    const std::vector<uint32_t>& list = table.of(slot);
    ASSERT_EQ(std::multiset<uint32_t>(list.begin(), list.end()), model[slot]) << "step " << step;
  }
  table.clear(1);
  EXPECT_TRUE(table.of(1).empty());
  EXPECT_FAILURE(table.of(3),
                 "dependents table: index out of range: the index is 3 but the length is 3");
}
