#include "support/pending_releases.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "velk/memory/hazard.h"

namespace velk::py {

namespace {

std::atomic<bool> finalizing{false};

// References dropped by threads without the interpreter lock. The flag lets the hot path skip
// the mutex when nothing is queued.
struct PendingReleases {
  std::mutex mutex;
  std::vector<PyObject*> objects;  // guarded by mutex
  std::atomic<bool> nonempty{false};
};

PendingReleases& pending() {
  static auto* list = new PendingReleases();  // never destroyed: threads may queue at exit
  return *list;
}

}  // namespace

void lock_pending_releases_for_fork() { pending().mutex.lock(); }

void unlock_pending_releases_after_fork() { pending().mutex.unlock(); }

void drain_pending_releases() {
  PendingReleases& list = pending();
  if (!list.nonempty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> guard(list.mutex);
    batch.swap(list.objects);
    list.nonempty.store(false, std::memory_order_relaxed);
  }
  for (PyObject* obj : batch) drop_reference(obj);
}

void mark_interpreter_finalizing() noexcept { finalizing.store(true, std::memory_order_release); }

bool interpreter_finalizing() noexcept { return finalizing.load(std::memory_order_acquire); }

void release_reference(PyObject* obj) noexcept {
  if (obj == nullptr || finalizing.load(std::memory_order_acquire)) return;
  // Reclamation may run inside engine locks; dropping there could run a __del__ that calls
  // back into the engine, so those drops are always deferred.
  if (!HazardDomain::in_reclamation() && PyGILState_Check()) {
    drop_reference(obj);
    return;
  }
  PendingReleases& list = pending();
  std::lock_guard<std::mutex> guard(list.mutex);
  list.objects.push_back(obj);
  list.nonempty.store(true, std::memory_order_release);
}

}  // namespace velk::py
