#include "support/helper_threads.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace velk::py {

namespace {

// Room for a few thousand nested levels; pages are committed only as they are touched.
constexpr std::size_t kStackSize = std::size_t(16) << 20;
constexpr auto kIdleLifetime = std::chrono::seconds(5);
// Beyond this many helpers a deeper nesting stays where it is, and fails cleanly with
// RecursionError when that thread's stack or recursion budget runs out.
constexpr std::size_t kMaxThreads = 1024;

struct Job {
  Job(void (*w)(void*), void (*ww)(void*), void* c) : work(w), while_waiting(ww), context(c) {}
  void (*work)(void*);
  void (*while_waiting)(void*);
  void* context;
  bool done = false;  // guarded by the pool's mutex
  std::condition_variable finished;
};

// Every field is guarded by mutex_. Invariant: idle_ + jobs_.size() is the number of threads
// waiting for a job, so every queued job has a waiting thread of its own.
class HelperPool {
 public:
  bool run(Job& job);

 private:
  static void* thread_main(void* pool);
  bool spawn();  // requires mutex_
  void serve();

  std::mutex mutex_;
  std::condition_variable job_ready_;
  std::deque<Job*> jobs_;
  std::size_t idle_ = 0;
  std::size_t threads_ = 0;
};

bool HelperPool::run(Job& job) {
  std::unique_lock lock(mutex_);
  jobs_.push_back(&job);
  if (idle_ > 0) {
    --idle_;
    job_ready_.notify_one();
  } else if (threads_ >= kMaxThreads || !spawn()) {
    jobs_.pop_back();
    return false;
  }
  const auto done = [&] { return job.done; };
  if (job.while_waiting == nullptr) {
    job.finished.wait(lock, done);
    return true;
  }
  while (!job.finished.wait_for(lock, kWhileWaitingInterval, done)) {
    lock.unlock();
    job.while_waiting(job.context);
    lock.lock();
  }
  return true;
}

bool HelperPool::spawn() {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setstacksize(&attr, kStackSize);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // Signals are for the interpreter's own threads: a helper is created with all of them blocked.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, thread_main, this);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) return false;
  ++threads_;
  return true;
}

void* HelperPool::thread_main(void* pool) {
  static_cast<HelperPool*>(pool)->serve();
  return nullptr;
}

void HelperPool::serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    while (jobs_.empty()) {
      if (job_ready_.wait_for(lock, kIdleLifetime) == std::cv_status::timeout && jobs_.empty()) {
        --idle_;  // the invariant leaves at least this thread's count here
        --threads_;
        return;
      }
    }
    Job* job = jobs_.front();
    jobs_.pop_front();
    lock.unlock();
    job->work(job->context);
    lock.lock();
    job->done = true;
    job->finished.notify_one();  // under the lock: the job lives on its waiter's stack
    ++idle_;
  }
}

// Never destroyed: helpers may outlive static destruction at exit.
std::atomic<HelperPool*> current_pool{nullptr};

// A forked child has none of the parent's helpers, and the parent's pool may have been locked
// at the fork: the child starts a fresh one (the old one is dropped unreclaimed).
void fresh_pool_in_child() { current_pool.store(new HelperPool, std::memory_order_release); }

HelperPool& pool() {
  static const bool installed = [] {
    current_pool.store(new HelperPool, std::memory_order_release);
    pthread_atfork(nullptr, nullptr, fresh_pool_in_child);
    return true;
  }();
  (void)installed;
  return *current_pool.load(std::memory_order_acquire);
}

}  // namespace

bool run_on_helper_thread(void (*work)(void*), void (*while_waiting)(void*),
                          void* context) noexcept {
  Job job(work, while_waiting, context);
  try {
    return pool().run(job);
  } catch (...) {  // a failed lock or allocation, before the job was queued
    return false;
  }
}

}  // namespace velk::py
