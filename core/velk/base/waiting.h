// Waiting for another thread: a short spin, then sleep until the thread that ends the wait
// wakes the sleeper. Sleepers wake on their own every kInterruptCheckInterval to ask the
// embedding whether the wait must be abandoned (the binding raises KeyboardInterrupt for a
// pending Ctrl-C); the waited-for work goes on regardless on its own thread.
//
// Memory ordering: a sleeper counts itself in its bucket and then re-reads the condition, a
// waker changes the condition and then reads the bucket's count, all four sequentially
// consistent operations (the waker's change must be one: a claim's compare-and-swap, a lock's
// release count), so either the sleeper sees the change or the waker sees the sleeper.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "velk/base/spin.h"

namespace velk {

inline constexpr std::chrono::milliseconds kInterruptCheckInterval{100};
inline constexpr std::size_t kInterruptCheckElements = 4096;

// Runs `wait(context)`, a blocking wait, in whatever way the embedding needs (the binding
// gives up the interpreter lock for it). Installed once, at start-up; without one, waits block
// in place. Every wait that may last goes through it.
using BlockingHook = void (*)(void (*wait)(void*), void* context);
void set_blocking_hook(BlockingHook hook) noexcept;
void run_blocking(void (*wait)(void*), void* context);

// Called every kInterruptCheckInterval while a thread sleeps in a wait, and every
// kInterruptCheckElements elements of a long batch; may throw to end the wait or the batch (the
// exception propagates to the caller). Installed once by the embedding.
using InterruptHook = void (*)();
void set_interrupt_hook(InterruptHook hook) noexcept;
void check_interrupt();

// Sleeping on addresses, in a fixed table of buckets shared by all of them.
class ParkingLot {
 public:
  // Sleeps until `address` is woken or the interval ends, unless `still_waiting(context)`, asked
  // after the sleeper is counted, is already false.
  static void park(const void* address, bool (*still_waiting)(const void*), const void* context);
  // Wakes every sleeper on `address` (and on addresses sharing its bucket). Inline and one load
  // when nobody sleeps anywhere, which is every claim's end on an uncontended graph.
  static void unpark_all(const void* address) noexcept {
    // lock-free: seq_cst against the sleeper's count and re-check (see unpark_bucket).
    if (sleepers_.load(std::memory_order_seq_cst) != 0) unpark_bucket(address);
  }

  // Sleeps (as park) while `word` still holds `seen`; `word` is the address woken.
  template <class T>
  static void park_while_equal(const std::atomic<T>& word, T seen) {
    struct Context {
      const std::atomic<T>* word;
      T seen;
    } context{&word, seen};
    park(
        &word,
        [](const void* c) {
          const auto* ctx = static_cast<const Context*>(c);
          // lock-free: read after the sleeper is counted; see unpark_all.
          return ctx->word->load(std::memory_order_seq_cst) == ctx->seen;
        },
        &context);
  }
  // In a forked child: a fresh table. The old one may have a bucket locked, or sleepers counted
  // in its condition variables, by threads the child lacks; it is left unreclaimed.
  static void reset_after_fork() noexcept;

 private:
  static void unpark_bucket(const void* address) noexcept;
  // Sleepers in every bucket, counted before each one's bucket count.
  static inline std::atomic<uint32_t> sleepers_{0};
};

// One waiter's progress: a few spins, a few yields, then sleeps.
class Backoff {
 public:
  // One step; `park` sleeps (through ParkingLot) once spinning is over, and the interrupt hook
  // runs at most once an interval.
  template <class Park>
  void wait(Park&& park) {
    if (++count_ < kSpins) return spin_.wait();
    park();
    const auto now = std::chrono::steady_clock::now();
    if (last_check_ == std::chrono::steady_clock::time_point{}) {
      last_check_ = now;
    } else if (now - last_check_ >= kInterruptCheckInterval) {
      last_check_ = now;
      check_interrupt();
    }
  }
  // True once the waiter sleeps rather than spins: a wait that is no longer short.
  bool sleeping() const noexcept { return count_ >= kSpins; }

 private:
  static constexpr unsigned kSpins = 128;

  SpinWait spin_;
  unsigned count_ = 0;
  std::chrono::steady_clock::time_point last_check_{};
};

}  // namespace velk
