// The compute closure of a Python query: calls the user's function with a fresh RuntimeRef
// and yields its result as the node's value.
#pragma once

#include "py_value.h"
#include "velk/runtime/runtime.h"

namespace velk::py {

class PythonQuery {
 public:
  explicit PythonQuery(PyValue function) : function_(std::move(function)) {}
  PythonQuery(PythonQuery&&) noexcept = default;

  // Takes the interpreter lock for the call only; the engine stores the result after it is
  // released again.
  PyValue operator()(Runtime& runtime, uint32_t slot);

  void visit_held(HeldVisitor& visitor) const;

 private:
  PyValue function_;
};

}  // namespace velk::py
