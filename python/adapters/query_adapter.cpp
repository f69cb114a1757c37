#include "adapters/query_adapter.h"

#include "adapters/engine_gc.h"
#include "support/errors.h"
#include "support/gil.h"
#include "velk/base/failure.h"

namespace velk::py {

namespace {

// A RuntimeRef bound to the calling thread, null again (ended) when the call ends, by
// returning or by raising, so a kept reference fails loudly afterwards.
class RefScope {
 public:
  RefScope(PyObject* type, Runtime& runtime) {
    auto* obj = PyObject_New(RuntimeRefObject, reinterpret_cast<PyTypeObject*>(type));
    if (obj == nullptr) throw_current_error_as_failure("velk: creating a RuntimeRef failed");
    obj->runtime = &runtime;
    new (&obj->owner) std::thread::id(std::this_thread::get_id());
    ref_ = OwnedRef::steal(reinterpret_cast<PyObject*>(obj));
  }
  ~RefScope() {
    auto* ref = reinterpret_cast<RuntimeRefObject*>(ref_.get());
    check_ref_thread(*ref);
    ref->runtime = nullptr;
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

void PythonQuery::visit_held(HeldVisitor& visitor) const {
  if (ValueVisitor<PyValue>* values = python_values(visitor)) {
    values->visit(function_);
    values->visit(ref_type_);
  }
}

}  // namespace velk::py
