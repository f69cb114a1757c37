// Runtime.observe, unobserve and stabilize.
#include "support/method.h"
#include "types/runtime_methods.h"

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
    const PyValue& value = runtime.read_observed(*this, node_, holder);
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

OwnedRef make_observer_id(const ModuleState& module, uint64_t id, RuntimeId runtime) {
  auto* obj = PyObject_New(ObserverIdObject, module.observer_id);
  if (obj == nullptr) throw PyErrOccurred{};
  obj->id = id;
  obj->runtime_id = runtime.value;
  return OwnedRef::steal(reinterpret_cast<PyObject*>(obj));
}

}  // namespace

PyObject* runtime_observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return method<raise_held>(
      "observe", {"node", "callback"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, const NodeHandle& node, Callable callback) {
        auto closure = std::make_shared<PythonObserver>(node, PyValue::new_ref(callback.object));
        Runtime& runtime = engine(self);
        const uint64_t id = runtime.observe(node, std::move(closure));
        return make_observer_id(module, id, runtime.id()).release();
      });
}

PyObject* runtime_unobserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return method<raise_held>("unobserve", {"id"}, self, {args, nargs, kwnames},
                            [&](const ObserverIdObject* id) {
                              Runtime& runtime = engine(self);
                              if (id->runtime_id == runtime.id().value) runtime.unobserve(id->id);
                              Py_RETURN_NONE;
                            });
}

PyObject* runtime_stabilize(PyObject* self, PyObject*) {
  return method<raise_mapped>("stabilize", {}, self, {}, [&] {
    {
      ReleasedRegion region;
      engine(self).stabilize();
    }
    Py_RETURN_NONE;
  });
}

}  // namespace velk::py
