// The reader-writer lock of a collection state. Code holding it hashes and compares elements,
// which for Python values needs the interpreter lock; a thread that holds the interpreter lock
// must therefore never block on it while holding the interpreter lock. Every acquisition tries
// first and, only when it must wait, waits through the process-wide blocking hook, which the
// Python binding installs to release the interpreter lock for the wait.
//
// Such a callback may itself use the collection whose lock its thread holds (an element whose
// __hash__ inserts into, or builds an operator on, that collection). Waiting would never end,
// so an acquisition that would wait on the calling thread's own lock fails instead; only a
// shared acquisition while the thread already holds the lock shared goes ahead, as it cannot
// wait on itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "velk/base/waiting.h"

namespace velk {

inline constexpr const char* kCollectionForkedMessage =
    "velk-core: a collection was in use by another thread when the process forked; it may be "
    "mid-change and cannot be used in the forked child";

inline constexpr const char* kCollectionReentryMessage =
    "velk-core: a collection was used by a callback running under its own lock (hashing, "
    "comparing or ordering one of its elements); that use would wait forever";

// Whether the calling thread holds any collection lock. Work handed to another thread while
// it does could wait on that lock, which would then never be released.
bool holds_collection_lock() noexcept;

// In a forked child, a lock that a thread the child lacks held (or waited for) at the fork is
// refused for good (kCollectionForkedMessage): what it guards may be mid-change.
class CollectionLock {
 public:
  void lock();
  void unlock() noexcept;
  void lock_shared();
  void unlock_shared() noexcept;

 private:
  void acquire(bool exclusive);
  // Refuses the lock in a forked child whose parent had other threads in it (see above).
  void check_forked();

  bool try_acquire(bool exclusive) noexcept;
  void wait_for(bool exclusive);
  void release_done() noexcept;

  std::shared_mutex mutex_;
  // Threads holding or waiting for the lock: counted before the wait, so a fork never finds a
  // hold it does not count.
  std::atomic<uint32_t> users_{0};
  std::atomic<uint32_t> checked_generation_{0};  // the fork generation last checked against
  std::atomic<bool> forked_mid_use_{false};
  std::atomic<uint64_t> releases_{0};  // seq_cst: counts releases, so a sleeper misses none
};

using CollectionReadGuard = std::shared_lock<CollectionLock>;
using CollectionWriteGuard = std::unique_lock<CollectionLock>;

}  // namespace velk
