#include "velk/collection_lock.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "velk/failure.h"
#include "velk/fork_recovery.h"

namespace velk {

namespace {
std::atomic<BlockingHook> blocking_hook{nullptr};

// The collection locks this thread holds, with whether it holds each exclusively. Guards are
// scoped, so a lock is released on the thread that took it.
struct HeldLock {
  const CollectionLock* lock;
  bool exclusive;
};
thread_local std::vector<HeldLock> held_locks;

// The most recent entry of `lock` on this thread, or null.
HeldLock* find_held(const CollectionLock* lock) {
  auto it = std::find_if(held_locks.rbegin(), held_locks.rend(),
                         [lock](const HeldLock& h) { return h.lock == lock; });
  return it == held_locks.rend() ? nullptr : &*it;
}

void forget_held(const CollectionLock* lock) {
  if (HeldLock* held = find_held(lock)) held_locks.erase(held_locks.begin() + (held - held_locks.data()));
}
}  // namespace

void set_blocking_hook(BlockingHook hook) noexcept {
  blocking_hook.store(hook, std::memory_order_release);
}

void run_blocking(void (*wait)(void*), void* context) {
  if (BlockingHook hook = blocking_hook.load(std::memory_order_acquire)) {
    hook(wait, context);
  } else {
    wait(context);
  }
}

bool holds_collection_lock() noexcept { return !held_locks.empty(); }

void CollectionLock::check_forked() {
  const uint32_t now = fork_generation();
  uint32_t seen = checked_generation_.load(std::memory_order_acquire);
  if (seen != now && checked_generation_.compare_exchange_strong(seen, now)) {
    // First use since the fork: any user beyond this thread's own holds was a thread the
    // child lacks.
    const auto own = uint32_t(std::count_if(held_locks.begin(), held_locks.end(),
                                            [this](const HeldLock& h) { return h.lock == this; }));
    if (users_.load(std::memory_order_acquire) > own) {
      forked_mid_use_.store(true, std::memory_order_release);
    }
  }
  if (forked_mid_use_.load(std::memory_order_acquire)) fail(kCollectionForkedMessage);
}

void CollectionLock::acquire(bool exclusive) {
  // Re-entry would wait on this very thread, except a shared hold taken again shared.
  if (const HeldLock* held = find_held(this); held != nullptr && (exclusive || held->exclusive)) {
    fail(kCollectionReentryMessage);
  }
  check_forked();
  held_locks.reserve(held_locks.size() + 1);  // no allocation failure once the lock is held
  users_.fetch_add(1, std::memory_order_acq_rel);
  struct Uncount {
    std::atomic<uint32_t>* users;
    ~Uncount() {
      if (users) users->fetch_sub(1, std::memory_order_acq_rel);
    }
  } uncount{&users_};  // until the lock is held
  if (!(exclusive ? mutex_.try_lock() : mutex_.try_lock_shared())) {
    // Sleeps an interval at a time, asking between them whether to give up (a Ctrl-C, or a
    // fork that left the holder behind).
    if (exclusive) {
      run_blocking([](void* l) {
        auto* lock = static_cast<CollectionLock*>(l);
        while (!lock->mutex_.try_lock_for(kInterruptCheckInterval)) lock->check_while_waiting();
      }, this);
    } else {
      run_blocking([](void* l) {
        auto* lock = static_cast<CollectionLock*>(l);
        while (!lock->mutex_.try_lock_shared_for(kInterruptCheckInterval)) lock->check_while_waiting();
      }, this);
    }
  }
  uncount.users = nullptr;
  held_locks.push_back({this, exclusive});
}

void CollectionLock::lock() { acquire(true); }

void CollectionLock::check_while_waiting() {
  check_interrupt();
  check_forked();
}

void CollectionLock::unlock() {
  forget_held(this);
  mutex_.unlock();
  users_.fetch_sub(1, std::memory_order_acq_rel);
}

void CollectionLock::lock_shared() { acquire(false); }

void CollectionLock::unlock_shared() {
  forget_held(this);
  mutex_.unlock_shared();
  users_.fetch_sub(1, std::memory_order_acq_rel);
}

}  // namespace velk
