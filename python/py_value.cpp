#include "py_value.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "errors.h"
#include "gil.h"
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

// The hash every value shares that cannot be hashed: such values are told apart by equality.
constexpr int64_t kUnhashable = 0x2545F4914F6CDD1D;

// Drops the error a comparison or hash raised, unless it is an interruption for the caller.
void absorb_error(const char* where) {
  throw_if_interruption(where);
  PyErr_Clear();
}

// Evaluates `a op b` and its truth; a raising comparison or truth test counts as false.
bool compare_true(PyObject* a, PyObject* b, int op, const char* where) {
  PyObject* result = park_if_ended([&] { return PyObject_RichCompare(a, b, op); });
  if (result == nullptr) {
    absorb_error(where);
    return false;
  }
  OwnedRef owned = OwnedRef::steal(result);
  const int truth = park_if_ended([&] { return PyObject_IsTrue(owned.get()); });
  if (truth < 0) {
    absorb_error(where);
    return false;
  }
  return truth == 1;
}

// Set aside for the length of one call into Python, restored however the call ends.
class PreservedError {
 public:
  PreservedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~PreservedError() { PyErr_Restore(type_, value_, traceback_); }
  PreservedError(const PreservedError&) = delete;
  PreservedError& operator=(const PreservedError&) = delete;

 private:
  PyObject *type_, *value_, *traceback_;
};

// Runs `fn` with the interpreter lock, keeping any error already set on this thread.
template <class F>
auto with_gil_preserving_error(F fn) {
  GilEnsure gil;
  PreservedError saved;
  return fn();
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
    ~Restore() { restore_thread_or_park(state); }
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

bool PyValue::equal(const PyValue& a, const PyValue& b) {
  return with_gil_preserving_error([&] { return compare_true(a.obj_, b.obj_, Py_EQ, "__eq__"); });
}

int64_t PyValue::hash(const PyValue& v) {
  return with_gil_preserving_error([&]() -> int64_t {
    // Checked first: failing to hash a list would build and discard a TypeError every time.
    if (Py_TYPE(v.obj_)->tp_hash == PyObject_HashNotImplemented) return kUnhashable;
    const Py_hash_t h = park_if_ended([&] { return PyObject_Hash(v.obj_); });
    if (h != -1 || !PyErr_Occurred()) return h;
    absorb_error("__hash__");
    return kUnhashable;
  });
}

bool PyValue::unhashable(const PyValue& v) {
  GilEnsure gil;  // a class's __hash__ may be reassigned meanwhile
  return Py_TYPE(v.obj_)->tp_hash == PyObject_HashNotImplemented;
}

bool PyValue::less(const PyValue& a, const PyValue& b) {
  return with_gil_preserving_error([&] { return compare_true(a.obj_, b.obj_, Py_LT, "__lt__"); });
}

}  // namespace velk::py
