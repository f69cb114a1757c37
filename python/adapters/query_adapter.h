// The compute closure of a Python query: calls the user's function with a fresh RuntimeRef
// and yields its result as the node's value. The RuntimeRef object is made and ended here; its
// class (types/runtime_ref.cpp) only reads through it.
#pragma once

#include "support/module_state.h"
#include "support/refs.h"
#include "values/py_value.h"
#include "velk/base/hot_tls.h"
#include "velk/runtime/runtime.h"

namespace velk::py {

// The calling thread's identity among the running threads: the address of a variable of its
// own, one load from the thread pointer (std::this_thread::get_id is a call into the C library).
inline const void* this_thread_tag() noexcept {
  VELK_HOT_TLS static thread_local char tag;
  return &tag;
}

struct RuntimeRefObject {
  PyObject_HEAD Runtime* runtime;  // null once the computation that created it has ended
  const void* owner;               // this_thread_tag() of the thread running that computation
  const ModuleState* module;       // of its class, which the object keeps alive
};

[[noreturn, gnu::cold]] void fail_ref_used_on_other_thread();

// Fails unless the calling thread runs the computation `ref` belongs to.
inline void check_ref_thread(const RuntimeRefObject& ref) {
  if (ref.owner != this_thread_tag()) [[unlikely]]
    fail_ref_used_on_other_thread();
}

// A node's own equality given from Python: equal(old, new), whose errors count as "not equal"
// like those of ==.
class PythonEqual final : public NodeEqual<PyValue> {
 public:
  explicit PythonEqual(PyValue callable) : callable_(std::move(callable)) {}
  bool equal(const PyValue& old, const PyValue& now) const override {
    return PyValue::equal_by(callable_.get(), old, now);
  }
  void visit_held(HeldVisitor& visitor) const override;

 private:
  PyValue callable_;
};

class PythonQuery {
 public:
  // `ref_type` is the RuntimeRef class of the module that made the query.
  PythonQuery(PyValue function, PyValue ref_type)
      : function_(std::move(function)), ref_type_(std::move(ref_type)) {}
  PythonQuery(PythonQuery&&) noexcept = default;

  // Takes the interpreter lock for the call, re-entrantly: a read brought up to date on the
  // calling thread already holds it.
  PyValue operator()(Runtime& runtime, uint32_t slot);

  void visit_held(HeldVisitor& visitor) const;

 private:
  PyValue function_;
  PyValue ref_type_;
};

}  // namespace velk::py
