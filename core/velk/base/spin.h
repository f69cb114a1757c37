// Waiting by spinning: a processor pause for each of the first 63 waits, then a yield per wait.
#pragma once

#include <sched.h>

#include <atomic>

namespace velk {

class SpinWait {
 public:
  void wait() noexcept {
    if (++count_ < 64) {
      pause();
    } else {
      sched_yield();
    }
  }

 private:
  static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  unsigned count_ = 0;
};

// A lock for a few instructions' hold that is almost never contended: inline and one atomic
// exchange to take, where a mutex costs two library calls. A waiter spins, then yields.
class SpinLock {
 public:
  void lock() noexcept {
    while (locked_.exchange(true, std::memory_order_acquire)) {
      SpinWait spin;
      // lock-free: only a hint to try again; the exchange decides.
      while (locked_.load(std::memory_order_relaxed)) spin.wait();
    }
  }
  void unlock() noexcept { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

}  // namespace velk
