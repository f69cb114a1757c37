#include "adapters/query_adapter.h"

#include <utility>

#include "adapters/engine_gc.h"
#include "support/errors.h"
#include "support/gil.h"
#include "support/pending_releases.h"
#include "velk/base/failure.h"

namespace velk::py {

namespace {

// The RuntimeRef a computation on this thread ended with, when nothing else kept it: the next
// computation here takes it up instead of allocating one. A kept one is never reused, so it
// stays ended. Released with the thread (queued when the thread no longer holds the lock).
class SpareRef {
 public:
  ~SpareRef() { release_reference(ref_); }
  // The spare ref, if it is of `type`, taken over by the caller; requires the interpreter lock.
  RuntimeRefObject* take(PyObject* type) noexcept {
    PyObject* ref = std::exchange(ref_, nullptr);
    if (ref == nullptr || Py_TYPE(ref) == reinterpret_cast<PyTypeObject*>(type)) {
      return reinterpret_cast<RuntimeRefObject*>(ref);
    }
    drop_reference(ref);  // another module's class
    return nullptr;
  }
  // Takes over the caller's reference to an ended `ref` if it is the only one; false otherwise.
  bool keep(PyObject* ref) noexcept {
    if (ref_ != nullptr || Py_REFCNT(ref) != 1) return false;
    ref_ = ref;
    return true;
  }

 private:
  PyObject* ref_ = nullptr;
};

thread_local SpareRef spare_ref;

// A RuntimeRef bound to the calling thread, null again (ended) when the call ends, by
// returning or by raising, so a kept reference fails loudly afterwards.
class RefScope {
 public:
  RefScope(PyObject* type, Runtime& runtime) {
    RuntimeRefObject* obj = spare_ref.take(type);
    if (obj == nullptr) {
      obj = PyObject_New(RuntimeRefObject, reinterpret_cast<PyTypeObject*>(type));
      if (obj == nullptr) throw_current_error_as_failure("velk: creating a RuntimeRef failed");
      new (&obj->owner) std::thread::id(std::this_thread::get_id());
    }
    obj->runtime = &runtime;
    ref_ = OwnedRef::steal(reinterpret_cast<PyObject*>(obj));
  }
  ~RefScope() {
    auto* ref = reinterpret_cast<RuntimeRefObject*>(ref_.get());
    check_ref_thread(*ref);
    ref->runtime = nullptr;
    if (spare_ref.keep(ref_.get())) (void)ref_.release();
  }
  RefScope(const RefScope&) = delete;
  RefScope& operator=(const RefScope&) = delete;

  PyObject* get() const noexcept { return ref_.get(); }

 private:
  OwnedRef ref_;
};

}  // namespace

void check_ref_thread(const RuntimeRefObject& ref) {
  if (ref.owner != std::this_thread::get_id()) {
    fail("velk_concurrent::PyRuntimeRef is unsendable, but is being used from another thread");
  }
}

PyValue PythonQuery::operator()(Runtime& runtime, uint32_t) {
  GilEnsure gil;
  OwnedRef result;
  {
    RefScope ref(ref_type_.get(), runtime);
    PyObject* args[] = {ref.get()};
    result = invoke_callback(function_.get(), args, 1);
  }
  return PyValue::steal(result.release());
}

void PythonEqual::visit_held(HeldVisitor& visitor) const {
  if (ValueVisitor<PyValue>* values = python_values(visitor)) values->visit(callable_);
}

void PythonQuery::visit_held(HeldVisitor& visitor) const {
  if (ValueVisitor<PyValue>* values = python_values(visitor)) {
    values->visit(function_);
    values->visit(ref_type_);
  }
}

}  // namespace velk::py
