#include "velk/collections/collection_lock.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "velk/base/check.h"
#include "velk/base/failure.h"
#include "velk/runtime/fork_recovery.h"

namespace velk {

namespace {

// The collection locks this thread holds, with whether it holds each exclusively. Guards are
// scoped, so a lock is released on the thread that took it.
struct HeldLock {
  const CollectionLock* lock;
  bool exclusive;
};
thread_local std::vector<HeldLock> held_locks;

// The most recent entry of `lock` on this thread, or null.
HeldLock* find_held(const CollectionLock* lock) noexcept {
  auto it = std::find_if(held_locks.rbegin(), held_locks.rend(),
                         [lock](const HeldLock& h) { return h.lock == lock; });
  return it == held_locks.rend() ? nullptr : &*it;
}

void forget_held(const CollectionLock* lock) noexcept {
  if (HeldLock* held = find_held(lock))
    held_locks.erase(held_locks.begin() + (held - held_locks.data()));
}
}  // namespace

bool holds_collection_lock() noexcept { return !held_locks.empty(); }

void CollectionLock::check_forked() {
  const uint32_t now = fork_generation();
  // lock-free: the CAS below lets one thread per fork generation count the users.
  uint32_t seen = checked_generation_.load(std::memory_order_acquire);
  if (seen != now && checked_generation_.compare_exchange_strong(seen, now)) {
    // First use since the fork: any user beyond this thread's own holds was a thread the
    // child lacks.
    const auto own = uint32_t(std::count_if(held_locks.begin(), held_locks.end(),
                                            [this](const HeldLock& h) { return h.lock == this; }));
    // lock-free: in a fresh child no other thread is left to change the count.
    if (users_.load(std::memory_order_acquire) > own) {
      forked_mid_use_.store(true, std::memory_order_release);
    }
  }
  // lock-free: set once, by the check above; it never clears.
  if (forked_mid_use_.load(std::memory_order_acquire)) fail(kCollectionForkedMessage);
}

void CollectionLock::acquire(bool exclusive) {
  // Re-entry would wait on this very thread, except a shared hold taken again shared, which
  // is counted here rather than taken from the mutex again (taking a shared_mutex twice on one
  // thread is undefined, and would wait behind a queued writer).
  const HeldLock* held = find_held(this);
  if (held != nullptr && (exclusive || held->exclusive)) fail(kCollectionReentryMessage);
  check_forked();
  held_locks.reserve(held_locks.size() + 1);  // no allocation failure once the lock is held
  if (held != nullptr) {
    held_locks.push_back({this, false});
    return;
  }
  users_.fetch_add(1, std::memory_order_acq_rel);
  struct Uncount {
    std::atomic<uint32_t>* users;
    ~Uncount() {
      if (users) users->fetch_sub(1, std::memory_order_acq_rel);
    }
  } uncount{&users_};  // until the lock is held
  if (!try_acquire(exclusive)) {
    struct Wait {
      CollectionLock* lock;
      bool exclusive;
    } wait{this, exclusive};
    run_blocking(
        [](void* w) { static_cast<Wait*>(w)->lock->wait_for(static_cast<Wait*>(w)->exclusive); },
        &wait);
  }
  uncount.users = nullptr;
  held_locks.push_back({this, exclusive});
}

bool CollectionLock::try_acquire(bool exclusive) noexcept {
  return exclusive ? mutex_.try_lock() : mutex_.try_lock_shared();
}

// Sleeps between attempts until a release wakes it; the backoff asks now and then whether to
// give up (a Ctrl-C).
void CollectionLock::wait_for(bool exclusive) {
  Backoff backoff;
  for (;;) {
    // lock-free: read before the try, so a release after a failed try changes it and the park
    // returns.
    const uint64_t seen = releases_.load(std::memory_order_seq_cst);
    if (try_acquire(exclusive)) return;
    check_forked();  // a holder the fork left behind never releases
    backoff.wait([&] { ParkingLot::park_while_equal(releases_, seen); });
  }
}

// After the release and the uncount. A waiter counts itself before trying the lock, so one
// this release does not see as a user finds the lock free (or held by a later user, whose
// release wakes it).
void CollectionLock::release_done() noexcept {
  if (users_.fetch_sub(1, std::memory_order_acq_rel) == 1) return;  // nobody else: no sleeper
  releases_.fetch_add(1, std::memory_order_seq_cst);
  ParkingLot::unpark_all(&releases_);
}

void CollectionLock::lock() { acquire(true); }

void CollectionLock::unlock() noexcept {
  VELK_DCHECK(find_held(this) != nullptr && find_held(this)->exclusive);
  forget_held(this);
  mutex_.unlock();
  release_done();
}

void CollectionLock::lock_shared() { acquire(false); }

void CollectionLock::unlock_shared() noexcept {
  VELK_DCHECK(find_held(this) != nullptr && !find_held(this)->exclusive);
  forget_held(this);
  if (find_held(this) != nullptr) return;  // an outer shared hold of this thread remains
  mutex_.unlock_shared();
  release_done();
}

}  // namespace velk
