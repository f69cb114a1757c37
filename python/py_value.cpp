#include "py_value.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "gil.h"
#include "velk/hazard.h"

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

// Evaluates `a op b` and its truth; a raising comparison or truth test counts as false.
bool compare_true(PyObject* a, PyObject* b, int op) noexcept {
  PyObject* result = PyObject_RichCompare(a, b, op);
  if (result == nullptr) {
    PyErr_Clear();
    return false;
  }
  OwnedRef owned = OwnedRef::steal(result);
  const int truth = PyObject_IsTrue(owned.get());
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  return truth == 1;
}

// Lists cannot be hashed, yet they are the elements of window outputs. Hashing a plain list by
// its contents (as the equal tuple would hash) agrees with list equality and spares those
// collections one hash bucket for everything; any other unhashable value hashes as 0.
Py_hash_t list_content_hash(PyObject* obj) noexcept {
  if (!PyList_CheckExact(obj)) return 0;
  PyObject* tuple = PyList_AsTuple(obj);
  if (tuple == nullptr) {
    PyErr_Clear();
    return 0;
  }
  OwnedRef owned = OwnedRef::steal(tuple);
  const Py_hash_t h = PyObject_Hash(owned.get());
  if (h == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  return h;
}

// Runs `fn` with the interpreter lock, keeping any error already set on this thread.
template <class F>
auto with_gil_preserving_error(F fn) noexcept {
  GilEnsure gil;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  auto result = fn();
  PyErr_Restore(type, value, traceback);
  return result;
}

}  // namespace

void drain_pending_releases() {
  PendingReleases& list = pending();
  if (!list.nonempty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> guard(list.mutex);
    batch.swap(list.objects);
    list.nonempty.store(false, std::memory_order_relaxed);
  }
  for (PyObject* obj : batch) Py_DECREF(obj);
}

void release_gil_while_waiting(void (*wait)(void*), void* context) {
  if (finalizing.load(std::memory_order_acquire) || !PyGILState_Check()) {
    wait(context);
    return;
  }
  // Retaken also when the wait throws: the caller's error handling needs the interpreter lock.
  struct Restore {
    PyThreadState* state;
    ~Restore() { PyEval_RestoreThread(state); }
  } restore{PyEval_SaveThread()};
  wait(context);
}

void mark_interpreter_finalizing() noexcept { finalizing.store(true, std::memory_order_release); }

bool interpreter_finalizing() noexcept { return finalizing.load(std::memory_order_acquire); }

void PyValue::release_reference(PyObject* obj) noexcept {
  if (obj == nullptr || finalizing.load(std::memory_order_acquire)) return;
  // Reclamation may run inside engine locks; dropping there could run a __del__ that calls
  // back into the engine, so those drops are always deferred.
  if (!HazardDomain::in_reclamation() && PyGILState_Check()) {
    Py_DECREF(obj);
    return;
  }
  PendingReleases& list = pending();
  std::lock_guard<std::mutex> guard(list.mutex);
  list.objects.push_back(obj);
  list.nonempty.store(true, std::memory_order_release);
}

PyValue::PyValue(const PyValue& other) : obj_(other.obj_) {
  GilEnsure gil;
  Py_INCREF(obj_);
}

bool PyValue::equal(const PyValue& a, const PyValue& b) noexcept {
  return with_gil_preserving_error([&] { return compare_true(a.obj_, b.obj_, Py_EQ); });
}

int64_t PyValue::hash(const PyValue& v) noexcept {
  return with_gil_preserving_error([&]() -> int64_t {
    // Checked first: failing to hash a list would build and discard a TypeError every time.
    if (PyList_CheckExact(v.obj_)) return int64_t(list_content_hash(v.obj_));
    Py_hash_t h = PyObject_Hash(v.obj_);
    if (h == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      h = list_content_hash(v.obj_);
    }
    return h;
  });
}

bool PyValue::less(const PyValue& a, const PyValue& b) noexcept {
  return with_gil_preserving_error([&] { return compare_true(a.obj_, b.obj_, Py_LT); });
}

}  // namespace velk::py
