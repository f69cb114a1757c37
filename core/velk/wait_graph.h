// Who computes what, and who waits for whom, across threads: lets a reader that has waited a
// while on another thread's compute tell a slow compute from a cycle of computes that wait on
// each other (each thread holding one node of the cycle), which would wait forever.
#pragma once

#include <cstdint>

namespace velk {

struct WaitTarget {
  const void* runtime = nullptr;
  uint32_t slot = 0;
  friend bool operator==(const WaitTarget&, const WaitTarget&) = default;
};

namespace wait_graph {

// Marks the calling thread as running the compute of `target` for its lifetime.
class Computing {
 public:
  explicit Computing(WaitTarget target);
  ~Computing();
  Computing(const Computing&) = delete;
  Computing& operator=(const Computing&) = delete;
};

// Publishes that the calling thread waits for `target` (from the first check on) and answers
// whether that wait closes a cycle through the calling thread.
class Waiting {
 public:
  explicit Waiting(WaitTarget target) noexcept : target_(target) {}
  ~Waiting();
  Waiting(const Waiting&) = delete;
  Waiting& operator=(const Waiting&) = delete;

  // True when the thread computing the target waits, directly or through other threads, for a
  // node this thread is computing.
  bool closes_cycle();

 private:
  WaitTarget target_;
  bool published_ = false;
};

}  // namespace wait_graph
}  // namespace velk
