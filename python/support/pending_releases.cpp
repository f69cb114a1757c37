#include "support/pending_releases.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "support/gil.h"
#include "velk/memory/hazard.h"

namespace velk::py {

namespace {

std::atomic<bool> finalizing{false};

// References dropped by threads without the interpreter lock. pending_detail::nonempty lets
// the hot path skip the mutex when nothing is queued.
struct PendingReleases {
  std::mutex mutex;
  std::vector<PyObject*> objects;  // guarded by mutex
};

PendingReleases& pending() {
  static auto* list = new PendingReleases();  // never destroyed: threads may queue at exit
  return *list;
}

// Whether dropping a reference to `obj` runs no Python code and takes no lock, with the
// interpreter lock held: another reference keeps it alive, or it is an exact int, float, str or
// bytes, whose deallocation only frees memory (they hold no objects and no weak references).
// Never on a free-threaded build, where another thread may drop the other reference meanwhile
// and a drop from a thread that does not own the object may take a lock and detach.
bool drop_runs_no_code(PyObject* obj) noexcept {
#ifdef Py_GIL_DISABLED
  (void)obj;
  return false;
#else
  const PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyLong_Type || Py_REFCNT(obj) > 1) [[likely]]  // a computed int, most often
    return true;
  return type == &PyFloat_Type || type == &PyUnicode_Type || type == &PyBytes_Type;
#endif
}

// Queues a reference for the next thread that drains the list. Out of line, so that
// release_reference's direct drop stays a small leaf.
[[gnu::noinline]] void defer_release(PyObject* obj) noexcept {
  PendingReleases& list = pending();
  std::lock_guard<std::mutex> guard(list.mutex);
  list.objects.push_back(obj);
  pending_detail::nonempty.store(true, std::memory_order_release);
}

}  // namespace

void lock_pending_releases_for_fork() { pending().mutex.lock(); }

void unlock_pending_releases_after_fork() { pending().mutex.unlock(); }

void pending_detail::drain() {
  PendingReleases& list = pending();
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> guard(list.mutex);
    batch.swap(list.objects);
    pending_detail::nonempty.store(false, std::memory_order_relaxed);
  }
  for (PyObject* obj : batch) drop_reference(obj);
}

void mark_interpreter_finalizing() noexcept { finalizing.store(true, std::memory_order_release); }

bool interpreter_finalizing() noexcept { return finalizing.load(std::memory_order_acquire); }

void release_reference(PyObject* obj) noexcept {
  if (obj == nullptr || finalizing.load(std::memory_order_acquire)) return;
  // Reclamation may run inside engine locks; dropping there could run a __del__ that calls
  // back into the engine, so those drops are deferred unless they cannot run Python code.
  if ((LockedRegion::holds_lock() || PyGILState_Check()) &&
      (!HazardDomain::in_reclamation() || drop_runs_no_code(obj))) {
    drop_reference(obj);
    return;
  }
  defer_release(obj);
}

}  // namespace velk::py
