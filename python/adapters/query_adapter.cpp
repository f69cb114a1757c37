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
// stays ended. Taken on every computation, so a plain pointer in the initial-exec model;
// release_at_exit drops it with the thread (queued when the thread no longer holds the lock).
VELK_HOT_TLS thread_local PyObject* spare_ref = nullptr;

struct SpareRefRelease {
  ~SpareRefRelease() {
    // Left as it is once the interpreter finalizes: leaked with it, and still reachable.
    if (interpreter_finalizing()) return;
    release_reference(std::exchange(spare_ref, nullptr));
  }
};

// The spare ref, if it is of `type`, taken over by the caller; requires the interpreter lock.
RuntimeRefObject* take_spare_ref(PyObject* type) noexcept {
  PyObject* ref = std::exchange(spare_ref, nullptr);
  if (ref == nullptr || Py_TYPE(ref) == reinterpret_cast<PyTypeObject*>(type)) {
    return reinterpret_cast<RuntimeRefObject*>(ref);
  }
  drop_reference(ref);  // another module's class
  return nullptr;
}

// Takes over the caller's reference to an ended `ref` if it is the only one; false otherwise.
bool keep_spare_ref(PyObject* ref) noexcept {
  if (spare_ref != nullptr || Py_REFCNT(ref) != 1) return false;
  // The release at thread exit is registered with the first ref this thread makes.
  spare_ref = ref;
  return true;
}

// A new RuntimeRef owned by the calling thread.
RuntimeRefObject* new_runtime_ref(PyObject* type) {
  thread_local SpareRefRelease release_at_exit;
  RuntimeRefObject* obj = PyObject_New(RuntimeRefObject, reinterpret_cast<PyTypeObject*>(type));
  if (obj == nullptr) throw_current_error_as_failure("velk: creating a RuntimeRef failed");
  obj->owner = this_thread_tag();
  obj->module = static_cast<const ModuleState*>(PyType_GetModuleState(Py_TYPE(obj)));
  return obj;
}

// A RuntimeRef bound to the calling thread, null again (ended) when the call ends, by
// returning or by raising, so a kept reference fails loudly afterwards.
class RefScope {
 public:
  RefScope(PyObject* type, Runtime& runtime) {
    RuntimeRefObject* obj = take_spare_ref(type);
    if (obj == nullptr) obj = new_runtime_ref(type);
    obj->runtime = &runtime;
    ref_ = OwnedRef::steal(reinterpret_cast<PyObject*>(obj));
  }
  ~RefScope() {
    auto* ref = reinterpret_cast<RuntimeRefObject*>(ref_.get());
    VELK_DCHECK(ref->owner == this_thread_tag());  // made here, or kept here as a spare
    ref->runtime = nullptr;
    if (keep_spare_ref(ref_.get())) (void)ref_.release();
  }
  RefScope(const RefScope&) = delete;
  RefScope& operator=(const RefScope&) = delete;

  PyObject* get() const noexcept { return ref_.get(); }

 private:
  OwnedRef ref_;
};

}  // namespace

void fail_ref_used_on_other_thread() {
  fail("velk_concurrent::PyRuntimeRef is unsendable, but is being used from another thread");
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
