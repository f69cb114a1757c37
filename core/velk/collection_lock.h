// The reader-writer lock of a collection state. Code holding it hashes and compares elements,
// which for Python values needs the interpreter lock; a thread that holds the interpreter lock
// must therefore never block on it while holding the interpreter lock. Every acquisition tries
// first and, only when it must wait, waits through the process-wide blocking hook, which the
// Python binding installs to release the interpreter lock for the wait.
#pragma once

#include <mutex>
#include <shared_mutex>

namespace velk {

// Runs `wait(context)`, a blocking wait, in whatever way the embedding needs.
using BlockingHook = void (*)(void (*wait)(void*), void* context);

// Installs the hook (once, at start-up); without one, waits block in place.
void set_blocking_hook(BlockingHook hook) noexcept;
void run_blocking(void (*wait)(void*), void* context);

class CollectionLock {
 public:
  void lock();
  void unlock() { mutex_.unlock(); }
  void lock_shared();
  void unlock_shared() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

using CollectionReadGuard = std::shared_lock<CollectionLock>;
using CollectionWriteGuard = std::unique_lock<CollectionLock>;

}  // namespace velk
