// Runtime.observe, unobserve and stabilize.
#include "args.h"
#include "errors.h"
#include "gil.h"
#include "runtime_methods.h"

namespace velk::py {

namespace {

// Delivers the node's value to a Python callback; the callback's result is dropped.
class PythonObserver final : public ObserverClosure {
 public:
  PythonObserver(const NodeHandle& node, PyValue callback)
      : ObserverClosure(ErasedVelk(node)), node_(node), callback_(std::move(callback)) {}

 protected:
  void deliver(Runtime& runtime) override {
    HazardHolder holder;
    const PyValue& value = runtime.get_protected(node_, holder);
    GilEnsure gil;
    PyObject* args[] = {value.get()};
    invoke_callback(callback_.get(), args, 1);
  }

 private:
  NodeHandle node_;
  PyValue callback_;
};

OwnedRef make_observer_id(uint64_t id) {
  auto* obj = PyObject_New(ObserverIdObject, observer_id_type);
  if (obj == nullptr) throw PyErrOccurred{};
  obj->id = id;
  return OwnedRef::steal(reinterpret_cast<PyObject*>(obj));
}

}  // namespace

PyObject* runtime_observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  drain_pending_releases();
  static const char* const names[] = {"node", "callback"};
  PyObject* argv[2];
  if (!parse_arguments("observe", args, nargs, kwnames, names, argv)) return nullptr;
  return boundary(
      [&] {
        const NodeHandle node = node_argument("observe", "node", argv[0]);
        auto closure = std::make_shared<PythonObserver>(node, PyValue::new_ref(argv[1]));
        return make_observer_id(engine(self).observe(node, std::move(closure))).release();
      },
      raise_held);
}

PyObject* runtime_unobserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  drain_pending_releases();
  static const char* const names[] = {"id"};
  PyObject* argv[1];
  if (!parse_arguments("unobserve", args, nargs, kwnames, names, argv)) return nullptr;
  if (!PyObject_TypeCheck(argv[0], observer_id_type)) {
    PyErr_Format(PyExc_TypeError, "unobserve() argument 'id' must be ObserverId, not %.200s",
                 Py_TYPE(argv[0])->tp_name);
    return nullptr;
  }
  return boundary(
      [&] {
        engine(self).unobserve(reinterpret_cast<ObserverIdObject*>(argv[0])->id);
        Py_RETURN_NONE;
      },
      raise_held);
}

PyObject* runtime_stabilize(PyObject* self, PyObject*) {
  drain_pending_releases();
  MappedCall call;
  return boundary(
      [&] {
        {
          ReleasedRegion region;
          engine(self).stabilize();
        }
        Py_RETURN_NONE;
      },
      raise_mapped);
}

}  // namespace velk::py
