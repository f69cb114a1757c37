// Helpers shared by the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "velk/base/failure.h"

// Expects `stmt` to throw velk::Failure with exactly the message `msg`.
#define EXPECT_FAILURE(stmt, msg)                                      \
  do {                                                                 \
    try {                                                              \
      stmt;                                                            \
      ADD_FAILURE() << "no velk::Failure thrown; expected: " << (msg); \
    } catch (const velk::Failure& failure_) {                          \
      EXPECT_EQ(std::string(failure_.what()), std::string(msg));       \
    }                                                                  \
  } while (0)

namespace velk_test {

// Stress loops run fewer rounds under the sanitizers, which slow every atomic many times over.
#ifdef VELK_TEST_SANITIZED
inline constexpr int kScale = 10;
#else
inline constexpr int kScale = 25;
#endif

// A one-shot signal between threads. wait() aborts the run if the signal has not come after
// five minutes: a deadlock guard, never a timing assertion.
class Signal {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    if (cv_.wait_for(lock, std::chrono::minutes(5), [this] { return open_; })) return;
    std::fputs("deadlock guard: a signal never came\n", stderr);
    std::abort();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Aborts the run if the test owning it is still going after five minutes.
class DeadlockGuard {
 public:
  DeadlockGuard() : watcher_([this] { done_.wait(); }) {}
  ~DeadlockGuard() {
    done_.open();
    watcher_.join();
  }

 private:
  Signal done_;
  std::thread watcher_;  // last: starts once done_ exists
};

// Runs `body()`; an exception escaping it fails the running test with its message. A thread
// whose function lets one escape ends the whole run in std::terminate instead, naming nothing,
// and threads failing together make that "terminate called recursively".
template <class Body>
void failing_the_test_on_escape(const char* thread, Body&& body) {
  try {
    body();
  } catch (const std::exception& failure) {
    ADD_FAILURE() << thread << " raised: " << failure.what();
  } catch (...) {
    ADD_FAILURE() << thread << " raised an exception that is not a std::exception";
  }
}

// Runs `body(t)` on `n` threads and joins them.
template <class Body>
void run_threads(int n, Body body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) {
    threads.emplace_back([body, t]() mutable {
      const std::string name = "thread " + std::to_string(t);
      failing_the_test_on_escape(name.c_str(), [&] { body(t); });
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace velk_test
