#include "query_adapter.h"

#include "engine_gc.h"
#include "errors.h"
#include "gil.h"
#include "types.h"

namespace velk::py {

namespace {

// Nulls the RuntimeRef when the call ends, by returning or by raising, so a kept reference
// fails loudly afterwards.
class RefScope {
 public:
  explicit RefScope(PyObject* ref) : ref_(ref) {}
  ~RefScope() { invalidate_runtime_ref(ref_); }

 private:
  PyObject* ref_;
};

}  // namespace

PyValue PythonQuery::operator()(Runtime& runtime, uint32_t) {
  GilEnsure gil;
  OwnedRef ref = make_runtime_ref(&runtime);
  OwnedRef result;
  {
    RefScope scope(ref.get());
    PyObject* args[] = {ref.get()};
    result = invoke_callback(function_.get(), args, 1);
  }
  return PyValue::steal(result.release());
}

void PythonQuery::visit_held(HeldVisitor& visitor) const {
  if (ValueVisitor<PyValue>* values = python_values(visitor)) values->visit(function_);
}

}  // namespace velk::py
