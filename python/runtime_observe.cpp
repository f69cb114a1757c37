// Runtime.observe, unobserve and stabilize.
#include "method.h"
#include "runtime_methods.h"

namespace velk::py {

namespace {

// Delivers the node's value to a Python callback; the callback's result is dropped.
class PythonObserver final : public ObserverClosure {
 public:
  PythonObserver(const NodeHandle& node, PyValue callback)
      : ObserverClosure(ErasedVelk(node)), node_(node), callback_(std::move(callback)) {}

 protected:
  void deliver(Runtime& runtime, bool& in_callback) override {
    HazardHolder holder;
    const PyValue& value = runtime.get_protected(node_, holder);
    in_callback = true;
    GilEnsure gil;
    PyObject* args[] = {value.get()};
    invoke_callback(callback_.get(), args, 1);
  }

 public:
  void visit_held(HeldVisitor& visitor) const override {
    if (ValueVisitor<PyValue>* values = python_values(visitor)) values->visit(callback_);
  }

 private:
  NodeHandle node_;
  PyValue callback_;
};

OwnedRef make_observer_id(uint64_t id, RuntimeId runtime) {
  auto* obj = PyObject_New(ObserverIdObject, observer_id_type);
  if (obj == nullptr) throw PyErrOccurred{};
  obj->id = id;
  obj->runtime_id = runtime.value;
  return OwnedRef::steal(reinterpret_cast<PyObject*>(obj));
}

}  // namespace

PyObject* runtime_observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return held_method("observe", {"node", "callback"}, {args, nargs, kwnames}, [&](PyObject** argv) {
    const NodeHandle node = node_argument("observe", "node", argv[0]);
    auto closure = std::make_shared<PythonObserver>(node, PyValue::new_ref(argv[1]));
    Runtime& runtime = engine(self);
    return make_observer_id(runtime.observe(node, std::move(closure)), runtime.id()).release();
  });
}

PyObject* runtime_unobserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return held_method("unobserve", {"id"}, {args, nargs, kwnames}, [&](PyObject** argv) {
    if (!PyObject_TypeCheck(argv[0], observer_id_type)) {
      PyErr_Format(PyExc_TypeError, "unobserve() argument 'id' must be ObserverId, not %.200s",
                   Py_TYPE(argv[0])->tp_name);
      throw PyErrOccurred{};
    }
    const auto* id = reinterpret_cast<ObserverIdObject*>(argv[0]);
    Runtime& runtime = engine(self);
    if (id->runtime_id == runtime.id().value) runtime.unobserve(id->id);
    Py_RETURN_NONE;
  });
}

PyObject* runtime_stabilize(PyObject* self, PyObject*) {
  return mapped_method([&] {
    {
      ReleasedRegion region;
      engine(self).stabilize();
    }
    Py_RETURN_NONE;
  });
}

}  // namespace velk::py
