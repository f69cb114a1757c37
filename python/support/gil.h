// Interpreter-lock state changes as scopes: a released region around engine work, and an
// ensure-lock scope around every call from engine code into Python.
#pragma once

#include <utility>

#include "support/interpreter_exit.h"
#include "support/pending_releases.h"
#include "support/refs.h"
#include "velk/base/hot_tls.h"
#include "velk/memory/hazard.h"

#ifdef __SANITIZE_THREAD__
#include <sanitizer/tsan_interface.h>
#endif

namespace velk::py {

// ThreadSanitizer does not see inside the interpreter, which is not instrumented: these tell it
// what a PyMutex (or other synchronization done there) orders.
#ifdef __SANITIZE_THREAD__
inline void tsan_acquire(void* address) noexcept { __tsan_acquire(address); }
inline void tsan_release(void* address) noexcept { __tsan_release(address); }
#else
inline void tsan_acquire(void*) noexcept {}
inline void tsan_release(void*) noexcept {}
#endif

// Guards binding state that the interpreter lock guards on the default build. There it is empty
// and costs nothing; on a free-threaded build it is a PyMutex, which detaches the thread state
// while it waits, so a waiter never holds up the collector's stop-the-world pause. Hold it only
// around code that runs no Python.
class FreeThreadedMutex {
 public:
#ifdef Py_GIL_DISABLED
  void lock() noexcept {
    PyMutex_Lock(&mutex_);
    tsan_acquire(&mutex_);
  }
  void unlock() noexcept {
    tsan_release(&mutex_);
    PyMutex_Unlock(&mutex_);
  }

 private:
  PyMutex mutex_{};
#else
  void lock() noexcept {}
  void unlock() noexcept {}
#endif
};

// Runs a blocking wait of the engine (a contended collection lock) without the interpreter
// lock, so the holder of that lock can take the interpreter lock meanwhile.
void release_gil_while_waiting(void (*wait)(void*), void* context);

// Engine work that keeps the interpreter lock, for a read brought up to date on the calling
// thread: each compute it runs needs the lock, and giving it up around the work and taking it
// back for every compute cost more than a small compute itself. Every wait inside gives it up
// (the blocking hook). On exit, also when the work fails, frees what ReleasedRegion's exit frees.
class LockedRegion {
 public:
  // Requires the interpreter lock.
  LockedRegion() noexcept : outer_(std::exchange(kept_state, _PyThreadState_UncheckedGet())) {}
  ~LockedRegion() {
    kept_state = outer_;
    park_if_ended([] {  // a finaliser run by either may wait for the lock
      HazardDomain::global().reclaim_if_pending();
      drain_pending_releases();
    });
  }
  LockedRegion(const LockedRegion&) = delete;
  LockedRegion& operator=(const LockedRegion&) = delete;

  // Whether the calling thread holds the interpreter lock inside a LockedRegion or a GilEnsure
  // that took it. Every place the binding gives the lock up inside such a scope (a released
  // region, a wait) clears the mark for that time, and code running Python gets the lock back
  // before it returns, so the mark alone tells: a compute or a value copy in the scope finds
  // the lock for the price of a compare, asking the interpreter nothing.
  static bool holds_lock() noexcept { return kept_state != nullptr; }

 private:
  friend class GilEnsure;
  friend class LockGivenUp;
  // The thread state of the innermost LockedRegion, or GilEnsure that took the lock, on this
  // thread; null while the lock is given up inside one.
  VELK_HOT_TLS static inline thread_local PyThreadState* kept_state = nullptr;
  PyThreadState* outer_;
};

// Gives the interpreter lock up for its lifetime and takes it back on exit (parking a thread
// the exit of the interpreter ends), with no LockedRegion or GilEnsure around counting as
// holding it meanwhile. Requires the interpreter lock.
class LockGivenUp {
 public:
  LockGivenUp() noexcept
      : kept_(std::exchange(LockedRegion::kept_state, nullptr)), state_(PyEval_SaveThread()) {}
  ~LockGivenUp() {
    restore_thread_or_park(state_);
    LockedRegion::kept_state = kept_;
  }
  LockGivenUp(const LockGivenUp&) = delete;
  LockGivenUp& operator=(const LockGivenUp&) = delete;

 private:
  PyThreadState* kept_;
  PyThreadState* state_;
};

// Releases the interpreter lock for its lifetime; on exit, also when the work inside fails,
// reacquires it, frees the values this thread replaced meanwhile (unless a reader still
// protects them) and drains the pending-release list. Code inside takes no PyObject*.
class ReleasedRegion {
 public:
  ReleasedRegion() noexcept = default;
  ReleasedRegion(const ReleasedRegion&) = delete;
  ReleasedRegion& operator=(const ReleasedRegion&) = delete;

 private:
  // Runs once the lock is back: members are destroyed in reverse order, given_up_ first.
  struct ReclaimOnExit {
    ~ReclaimOnExit() {
      park_if_ended([] {  // a finaliser run by either may wait for the lock
        HazardDomain::global().reclaim_if_pending();
        drain_pending_releases();
      });
    }
  };
  ReclaimOnExit reclaim_;
  LockGivenUp given_up_;
};

// Holds the interpreter lock for its lifetime, re-entrantly. One that takes it keeps it the way
// a LockedRegion does, so a GilEnsure nested inside (every value copy, hash and compare of a
// batch under a BatchScope) costs a compare, not PyGILState_Ensure's bookkeeping. It does not
// drain the pending-release list: it is taken inside engine and collection locks, where a
// finaliser that re-enters the engine could deadlock; method entry and released regions drain
// instead. On a thread that must keep out of an exiting interpreter, both guards park
// (interpreter_exit.h).
class GilEnsure {
 public:
  GilEnsure() noexcept : held_(LockedRegion::holds_lock()) {
    if (held_) return;
    state_ = ensure_gil_or_park();
    outer_ = std::exchange(LockedRegion::kept_state, _PyThreadState_UncheckedGet());
  }
  ~GilEnsure() {
    if (held_) return;
    LockedRegion::kept_state = outer_;
    park_if_ended([this] { PyGILState_Release(state_); });  // may clear a thread state
  }
  GilEnsure(const GilEnsure&) = delete;
  GilEnsure& operator=(const GilEnsure&) = delete;

 private:
  bool held_;  // already held in a keeping scope: nothing to take or give back
  PyGILState_STATE state_ = PyGILState_LOCKED;
  PyThreadState* outer_ = nullptr;
};

}  // namespace velk::py
