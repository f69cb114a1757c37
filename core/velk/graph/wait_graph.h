// Who waits for whom across threads: lets a reader that has waited a while on another thread's
// compute tell a slow compute from a cycle of computes that wait on each other (each thread
// holding one node of the cycle), which would wait forever. What each thread computes is read
// from its dependency stack; only the waits are published here.
#pragma once

#include <cstdint>

namespace velk::wait_graph {

struct WaitTarget {
  const void* runtime = nullptr;
  uint32_t slot = 0;
};

// Publishes that the calling thread waits for `target` (from the first check on) and answers
// whether that wait closes a cycle through the calling thread.
class Waiting {
 public:
  explicit Waiting(WaitTarget target) noexcept : target_(target) {}
  // Inline: a wait that never checked (every read that did not wait long) costs nothing.
  ~Waiting() {
    if (published_) withdraw();
  }
  Waiting(const Waiting&) = delete;
  Waiting& operator=(const Waiting&) = delete;

  // True when the thread computing the target waits, directly or through other threads, for a
  // node this thread is computing.
  bool closes_cycle();

 private:
  void withdraw() noexcept;

  WaitTarget target_;
  bool published_ = false;
};

// The registry lock around a fork (see fork_recovery.h); in the child, the threads it lacks are
// dropped from the graph, so that no wait of theirs is taken for a cycle or waited on.
void lock_for_fork();
void unlock_after_fork() noexcept;
void forget_other_threads_after_fork() noexcept;

}  // namespace velk::wait_graph
