// Helper threads with large stacks, on which a computation nested too deeply for the thread
// that started it continues while that thread waits. Plain C++: the caller decides what the
// work does with the interpreter.
#pragma once

namespace velk::py {

// Runs `work(context)` on a helper thread and returns once it has finished. Returns false,
// without running it, when no helper thread can be had (the caller then runs the work itself).
// `work` must not throw. Blocks the calling thread meanwhile, so it must not hold the
// interpreter lock or anything else the work may need.
//
// Every call gets a thread of its own at once (an idle one, else a new one), so work that waits
// for other handed-over work never waits for a free thread. Threads idle for a few seconds
// exit; none holds interpreter state while idle, so none delays interpreter shutdown, and a
// forked child starts with no helpers.
bool run_on_helper_thread(void (*work)(void*), void* context) noexcept;

template <class F>
bool run_on_helper_thread(F& work) noexcept {
  return run_on_helper_thread([](void* f) { (*static_cast<F*>(f))(); }, &work);
}

}  // namespace velk::py
