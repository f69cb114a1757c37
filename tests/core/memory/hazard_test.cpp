#include "velk/memory/hazard.h"

#include <set>

#include "test_support.h"

using velk::HazardDomain;
using velk::HazardRecord;

namespace {
std::atomic<int> freed{0};
void delete_int(void* p) {
  delete static_cast<int*>(p);
  ++freed;
}
}  // namespace

TEST(HazardDomain, ProtectedObjectIsFreedOnlyAfterItsHolderGoes) {
  HazardDomain& domain = HazardDomain::global();
  std::atomic<int*> src{new int(7)};
  int* const object = src.load();
  velk_test::Signal is_protected, drop;
  std::thread holder_thread([&] {
    velk::HazardHolder holder;
    EXPECT_EQ(holder.protect(src), object);
    is_protected.open();
    drop.wait();
    EXPECT_EQ(*object, 7);  // retired meanwhile, but protected
  });
  is_protected.wait();
  const int before = freed.load();
  domain.retire(src.exchange(nullptr), delete_int);
  domain.reclaim();
  EXPECT_EQ(freed.load(), before);
  EXPECT_GE(domain.pending_on_this_thread(), 1u);
  drop.open();
  holder_thread.join();
  domain.reclaim();
  EXPECT_EQ(freed.load(), before + 1);
}

TEST(HazardDomain, ReleasedRecordsAreHandedOutAgainButNeverTwiceAtOnce) {
  HazardDomain& domain = HazardDomain::global();
  std::set<HazardRecord*> seen;
  for (int i = 0; i < 1000; ++i) {
    HazardRecord* r = domain.acquire();
    seen.insert(r);
    domain.release(r);
  }
  EXPECT_EQ(seen.size(), 1u);
  static int owners[4];
  std::atomic<int> shared{0};
  velk_test::run_threads(4, [&](int t) {
    for (int i = 0; i < 2000 * velk_test::kScale; ++i) {
      HazardRecord* r = domain.acquire();
      r->ptr.store(&owners[t]);
      for (int k = 0; k < 4; ++k) shared += r->ptr.load() != &owners[t];
      domain.release(r);
    }
  });
  EXPECT_EQ(shared.load(), 0);
}
