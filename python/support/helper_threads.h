// Helper threads with large stacks, on which a computation nested too deeply for the thread
// that started it continues while that thread waits. Plain C++: the caller decides what the
// work does with the interpreter.
#pragma once

#include <chrono>

namespace velk::py {

// Runs `work(context)` on a helper thread and returns once it has finished. Returns false,
// without running it, when no helper thread can be had (the caller then runs the work itself).
// `work` must not throw. Blocks the calling thread meanwhile, so it must not hold the
// interpreter lock or anything else the work may need; `while_waiting(context)`, unless null,
// runs on the calling thread every kWhileWaitingInterval of the wait (it may ask the work to
// end early: the call still returns only once the work has finished). Neither may throw.
//
// Every call gets a thread of its own at once (an idle one, else a new one), so work that waits
// for other handed-over work never waits for a free thread. Threads idle for a few seconds
// exit; none holds interpreter state while idle, so none delays interpreter shutdown, and a
// forked child starts with no helpers.
inline constexpr std::chrono::milliseconds kWhileWaitingInterval{50};
bool run_on_helper_thread(void (*work)(void*), void (*while_waiting)(void*),
                          void* context) noexcept;

// `job()` on a helper, and `job.while_waiting()` on the calling thread meanwhile if
// `job.watches()`; otherwise the calling thread sleeps until the job is done.
template <class Job>
bool run_on_helper_thread(Job& job) noexcept {
  void (*while_waiting)(void*) = nullptr;
  if (job.watches()) while_waiting = [](void* j) { static_cast<Job*>(j)->while_waiting(); };
  return run_on_helper_thread([](void* j) { (*static_cast<Job*>(j))(); }, while_waiting, &job);
}

}  // namespace velk::py
