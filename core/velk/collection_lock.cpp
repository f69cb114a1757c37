#include "velk/collection_lock.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "velk/failure.h"

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

void CollectionLock::acquire(bool exclusive) {
  // Re-entry would wait on this very thread, except a shared hold taken again shared.
  if (const HeldLock* held = find_held(this); held != nullptr && (exclusive || held->exclusive)) {
    fail(kCollectionReentryMessage);
  }
  held_locks.reserve(held_locks.size() + 1);  // no allocation failure once the lock is held
  if (!(exclusive ? mutex_.try_lock() : mutex_.try_lock_shared())) {
    // Sleeps an interval at a time, asking between them whether to give up (a Ctrl-C).
    if (exclusive) {
      run_blocking([](void* m) {
        auto* mutex = static_cast<std::shared_timed_mutex*>(m);
        while (!mutex->try_lock_for(kInterruptCheckInterval)) check_interrupt();
      }, &mutex_);
    } else {
      run_blocking([](void* m) {
        auto* mutex = static_cast<std::shared_timed_mutex*>(m);
        while (!mutex->try_lock_shared_for(kInterruptCheckInterval)) check_interrupt();
      }, &mutex_);
    }
  }
  held_locks.push_back({this, exclusive});
}

void CollectionLock::lock() { acquire(true); }

void CollectionLock::unlock() {
  forget_held(this);
  mutex_.unlock();
}

void CollectionLock::lock_shared() { acquire(false); }

void CollectionLock::unlock_shared() {
  forget_held(this);
  mutex_.unlock_shared();
}

}  // namespace velk
