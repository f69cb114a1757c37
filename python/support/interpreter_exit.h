// Threads that meet the interpreter's exit. Once exit is under way, CPython ends any thread but
// the exiting one that waits for the interpreter lock, by a forced unwind (pthread_exit). Our
// frames cannot carry that unwind: a destructor or noexcept frame on the way terminates the
// process, a catch-all that swallows it aborts, and guards on the way would touch thread states
// the exit has already freed. Such a thread instead stops where the unwind began and sleeps until
// the process is gone; whatever it holds stays held, which no one after the exit can notice.
#pragma once

#include <Python.h>
#include <cxxabi.h>

namespace velk::py {

// Records the calling thread as the one running the exit (called from an atexit hook).
void mark_exit_thread() noexcept;

// True when the interpreter exits and the calling thread is not the one running the exit: it
// must not take the interpreter lock (the wait would end the thread, or never end).
bool must_keep_out_of_interpreter() noexcept;

// Sleeps until the process ends.
[[noreturn]] void park_forever() noexcept;

// Runs `call`, which may take the interpreter lock or run Python code; a thread that the exit
// ends inside it parks there instead of unwinding through the caller's frames.
template <class F>
decltype(auto) park_if_ended(F&& call) {
  try {
    return call();
  } catch (abi::__forced_unwind&) {
    park_forever();
  }
}

// The lock-taking calls of the binding, parking a thread that must keep out.
PyGILState_STATE ensure_gil_or_park() noexcept;
void restore_thread_or_park(PyThreadState* state) noexcept;

}  // namespace velk::py
