// The runtime's one structural lock, and the tokens that prove it is held.
//
// A function that needs the lock held takes `const StructuralLock::Shared&` (either mode) or
// `const StructuralLock::Exclusive&` (write mode). Only a guard holding the lock is such a token,
// so a caller cannot forget to take it; a Debug build also checks at each use that the guard has
// not let go meanwhile and that the lock really is held in that mode.
#pragma once

#include <atomic>
#include <new>
#include <shared_mutex>
#include <thread>

#include "velk/base/check.h"

namespace velk {

class StructuralLock {
 public:
  // Proof that the lock is held, shared or exclusive.
  class Shared {
   public:
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    // Debug builds: stops at a token whose guard let go, or a lock not held in its mode.
    void dcheck() const noexcept {
#ifndef NDEBUG
      VELK_DCHECK(held_);
      VELK_DCHECK(exclusive_ ? lock_.held_exclusive_here() : lock_.held_any());
#endif
    }

   protected:
    Shared(StructuralLock& lock, bool exclusive) noexcept : lock_(lock), exclusive_(exclusive) {}
    ~Shared() = default;

    StructuralLock& lock_;
    bool held_ = false;
    const bool exclusive_;
  };

  // Proof that the lock is held exclusively; it also proves a shared hold.
  class Exclusive : public Shared {
   protected:
    explicit Exclusive(StructuralLock& lock) noexcept : Shared(lock, true) {}
    ~Exclusive() = default;
  };

  class ReadGuard final : public Shared {
   public:
    explicit ReadGuard(StructuralLock& lock) : Shared(lock, false) {
      lock.lock_shared();
      held_ = true;
    }
    ~ReadGuard() { unlock(); }
    void unlock() noexcept {
      if (held_) lock_.unlock_shared();
      held_ = false;
    }
  };

  class WriteGuard final : public Exclusive {
   public:
    explicit WriteGuard(StructuralLock& lock) : Exclusive(lock) {
      lock.lock();
      held_ = true;
    }
    ~WriteGuard() { unlock(); }
    void unlock() noexcept {
      if (held_) lock_.unlock();
      held_ = false;
    }
  };

  // The hold taken before a fork (fork_recovery.h), which spans the fork and so has no guard:
  // in the child, the token for work done under it. Does not let go when it ends.
  class ForkHold final : public Exclusive {
   public:
    explicit ForkHold(StructuralLock& lock) noexcept : Exclusive(lock) { held_ = true; }
  };

  void lock_for_fork() { lock(); }
  void unlock_after_fork() noexcept { unlock(); }
  // A reader-writer lock names its writer by kernel thread id, which the child's thread does not
  // share with the parent's: the child starts a fresh, unlocked one instead of unlocking.
  void reset_after_fork() noexcept {
    mutex_.~shared_mutex();
    new (&mutex_) std::shared_mutex();
#ifndef NDEBUG
    shared_holders_.store(0, std::memory_order_relaxed);
    writer_.store(std::thread::id(), std::memory_order_relaxed);
#endif
  }

 private:
  void lock_shared() {
    mutex_.lock_shared();
#ifndef NDEBUG
    shared_holders_.fetch_add(1, std::memory_order_relaxed);
#endif
  }
  void unlock_shared() noexcept {
#ifndef NDEBUG
    shared_holders_.fetch_sub(1, std::memory_order_relaxed);
#endif
    mutex_.unlock_shared();
  }
  void lock() {
    mutex_.lock();
#ifndef NDEBUG
    writer_.store(std::this_thread::get_id(), std::memory_order_relaxed);
#endif
  }
  void unlock() noexcept {
#ifndef NDEBUG
    writer_.store(std::thread::id(), std::memory_order_relaxed);
#endif
    mutex_.unlock();
  }

#ifndef NDEBUG
  // Debug-only bookkeeping, read only by the holder checking its own hold: relaxed suffices,
  // as the mutex orders every change a holder could see.
  bool held_any() const noexcept {
    return shared_holders_.load(std::memory_order_relaxed) > 0 || held_exclusive_here();
  }
  bool held_exclusive_here() const noexcept {
    return writer_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }
  std::atomic<int> shared_holders_{0};
  std::atomic<std::thread::id> writer_{};
#endif

  std::shared_mutex mutex_;
};

}  // namespace velk
