// Waiting by spinning: a processor pause for each of the first 63 waits, then a yield per wait.
#pragma once

#include <sched.h>

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

}  // namespace velk
