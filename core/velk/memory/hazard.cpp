#include "velk/memory/hazard.h"

#include <algorithm>

#include "velk/base/failure.h"
#include "velk/base/hot_tls.h"

namespace velk {

namespace {

using hazard_detail::reclaiming;

// Retired objects of one thread. Leftovers at thread exit are handed to the domain.
struct RetiredList {
  std::vector<HazardDomain::Retired> items;
  size_t kept = 0;  // items still protected at the end of the last reclaim
  // A reclaim's working storage, kept between reclaims so that neither it nor `items` grows
  // from empty every time.
  std::vector<HazardDomain::Retired> batch;
  std::vector<const void*> live;
  ~RetiredList() {
    if (items.empty()) return;
    HazardDomain::global().adopt_orphans(std::move(items));
  }
};

// The thread's list, reached through a constant-initialised pointer: a thread_local with a
// destructor is otherwise reached through its guard, which a module loaded at run time looks
// up through the loader on every retire. Set once per thread; like the list itself, it is not
// to be used by destructors that run after the list's own at thread exit.
VELK_HOT_TLS constinit thread_local RetiredList* retired_here = nullptr;

[[gnu::noinline]] RetiredList& own_retired_list() {
  thread_local RetiredList list;
  retired_here = &list;
  return list;
}

RetiredList& retired_list() {
  if (retired_here != nullptr) return *retired_here;
  return own_retired_list();
}

using hazard_detail::CacheLife;
using hazard_detail::record_cache;

// Registered by the thread's first holder; hands the cached records back to the domain at
// thread exit, after which holders take theirs from the domain directly.
struct CacheOwner {
  CacheOwner() noexcept { record_cache.life = CacheLife::Alive; }
  ~CacheOwner() {
    record_cache.life = CacheLife::Dead;
    while (record_cache.count > 0) {
      HazardDomain::global().release(record_cache.records[--record_cache.count]);
    }
  }
};

constexpr size_t kReclaimFloor = 64;

// Whether `object` is among the sorted published pointers. Few are published at once, and
// rarely one a reclaim retired, so the range test settles most lookups.
bool is_published(const std::vector<const void*>& live, const void* object) noexcept {
  if (live.empty() || object < live.front() || object > live.back()) return false;
  return std::binary_search(live.begin(), live.end(), object);
}

}  // namespace

HazardDomain& HazardDomain::global() {
  // Never destroyed: thread-exit and process-exit paths may still retire into it.
  static HazardDomain* domain = new HazardDomain();
  return *domain;
}

HazardRecord* HazardDomain::acquire() {
  for (HazardRecord* r = head_.load(std::memory_order_acquire); r != nullptr; r = r->next) {
    bool expected = false;
    // lock-free: records are only prepended, never freed; the CAS decides who takes one.
    if (!r->active.load(std::memory_order_relaxed) &&
        r->active.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
      return r;
    }
  }
  auto* fresh = new HazardRecord();
  fresh->active.store(true, std::memory_order_relaxed);
  HazardRecord* old_head = head_.load(std::memory_order_relaxed);
  do {
    fresh->next = old_head;
  } while (!head_.compare_exchange_weak(old_head, fresh, std::memory_order_release,
                                        std::memory_order_relaxed));
  record_count_.fetch_add(1, std::memory_order_relaxed);
  return fresh;
}

void HazardDomain::release(HazardRecord* record) noexcept {
  record->ptr.store(nullptr, std::memory_order_release);
  record->active.store(false, std::memory_order_release);
}

void HazardDomain::retire(void* object, Deleter deleter) noexcept {
  auto& items = retired_list().items;
  try {
    items.push_back(Retired{object, deleter});
  } catch (...) {
    return;  // leaked, never freed under a reader
  }
  if (items.size() < kReclaimFloor || reclaiming) return;
  // lock-free: only a threshold; a stale count moves a reclaim a little.
  if (items.size() < 2 * record_count_.load(std::memory_order_relaxed)) return;
  try {
    reclaim();
  } catch (...) {  // out of memory: what the reclaim had in hand stays allocated
  }
}

void HazardDomain::published(std::vector<const void*>& live) const {
  live.clear();
  for (HazardRecord* r = head_.load(std::memory_order_acquire); r != nullptr; r = r->next) {
    // lock-free: seq_cst against protect's publish and re-check: a reader that still uses the
    // object either shows here or saw it already unlinked.
    const void* p = r->ptr.load(std::memory_order_seq_cst);
    if (p != nullptr) live.push_back(p);
  }
  std::sort(live.begin(), live.end());
}

std::vector<HazardDomain::Retired> HazardDomain::take_orphans() {
  // lock-free: a hint; the orphans are taken under the lock.
  if (!has_orphans_.load(std::memory_order_acquire)) return {};
  std::lock_guard<std::mutex> guard(orphan_mutex_);
  has_orphans_.store(false, std::memory_order_relaxed);
  return std::move(orphans_);
}

void HazardDomain::adopt_orphans(std::vector<Retired>&& leftovers) noexcept {
  std::lock_guard<std::mutex> guard(orphan_mutex_);
  if (orphans_.empty()) {
    orphans_.swap(leftovers);
  } else {
    try {
      orphans_.insert(orphans_.end(), leftovers.begin(), leftovers.end());
    } catch (...) {  // out of memory: the leftovers stay allocated
    }
  }
  leftovers.clear();
  has_orphans_.store(true, std::memory_order_release);
}

void HazardDomain::reclaim() {
  if (reclaiming) return;
  struct Reclaiming {
    Reclaiming() noexcept { reclaiming = true; }
    ~Reclaiming() { reclaiming = false; }
  } scope;
  RetiredList& list = retired_list();
  auto& items = list.items;
  std::vector<Retired> orphans = take_orphans();
  items.insert(items.end(), orphans.begin(), orphans.end());
  // Deleters may retire further objects (an arena dropping its cells); they land in `items`
  // beside the kept ones, so the batch is swapped out first.
  std::vector<Retired>& batch = list.batch;
  batch.swap(items);
  // Cleared however the scan ends: what a failed allocation cut short stays allocated.
  struct ClearBatch {
    std::vector<Retired>& batch;
    ~ClearBatch() { batch.clear(); }
  } clear_batch{batch};
  std::vector<const void*>& live = list.live;
  published(live);
  for (const Retired& r : batch) {
    if (is_published(live, r.object)) {
      items.push_back(r);
    } else {
      r.deleter(r.object);
    }
  }
  list.kept = items.size();
}

void HazardDomain::reclaim_if_pending() {
  // lock-free: has_orphans_ is a hint, as in take_orphans.
  const RetiredList& list = retired_list();
  if (list.items.size() > list.kept || has_orphans_.load(std::memory_order_relaxed)) {
    reclaim();
  }
}

size_t HazardDomain::pending_on_this_thread() const noexcept { return retired_list().items.size(); }

VELK_HOT_TLS constinit thread_local bool hazard_detail::reclaiming = false;
VELK_HOT_TLS constinit thread_local hazard_detail::RecordCache hazard_detail::record_cache{};

HazardRecord* HazardHolder::acquire_uncached(Source source) {
  if (source == Source::ThreadCache && record_cache.life != CacheLife::Alive) {
    if (record_cache.life == CacheLife::Dead) {
      fail("velk-core: hazard cache used after thread teardown");
    }
    thread_local CacheOwner owner;
  }
  return HazardDomain::global().acquire();
}

}  // namespace velk
