#include "support/interpreter_exit.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "support/pending_releases.h"

namespace velk::py {

namespace {

std::atomic<bool> exit_thread_known{false};
pthread_t exit_thread;  // written once before exit_thread_known is set

bool exit_under_way() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return interpreter_finalizing() || Py_IsFinalizing();
#else
  return interpreter_finalizing() || _Py_IsFinalizing();
#endif
}

bool on_exit_thread() noexcept {
  return exit_thread_known.load(std::memory_order_acquire) &&
         pthread_equal(exit_thread, pthread_self());
}

}  // namespace

void mark_exit_thread() noexcept {
  exit_thread = pthread_self();
  exit_thread_known.store(true, std::memory_order_release);
}

bool must_keep_out_of_interpreter() noexcept { return exit_under_way() && !on_exit_thread(); }

void park_forever() noexcept {
  for (;;) pause();
}

PyGILState_STATE ensure_gil_or_park() noexcept {
  if (must_keep_out_of_interpreter()) park_forever();
  return park_if_ended([] { return PyGILState_Ensure(); });
}

void restore_thread_or_park(PyThreadState* state) noexcept {
  if (must_keep_out_of_interpreter()) park_forever();
  park_if_ended([state] { PyEval_RestoreThread(state); });
}

}  // namespace velk::py
