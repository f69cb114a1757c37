#include "support/errors.h"

#include <string>

#include <structmember.h>  // after Python.h

#include "support/gil.h"
#include "support/stack_guard.h"
#include "velk/base/failure.h"
#include "velk/memory/held.h"

namespace velk::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when the module's native code fails with an internal error.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it normally "
    "propagates to the top and ends the interpreter.";

// The exception a Python callback raised, kept by the failure that reports it. Dropped through
// the pending-release list, since the last copy of a failure may go on a thread without the
// interpreter lock.
class CallbackException final : public FailureDetail {
 public:
  explicit CallbackException(OwnedRef exception) : exception_(exception.release()) {}
  ~CallbackException() override { release_reference(exception_); }
  PyObject* get() const noexcept { return exception_; }
  // A runtime keeps the failure of a Failed node, whose traceback may lead back to the runtime.
  void visit_held(HeldVisitor& visitor) const override {
    if (auto* objects = dynamic_cast<HeldObjectVisitor*>(&visitor)) {
      objects->visit_object(exception_);
    }
  }

 private:
  PyObject* exception_;
};

// Failures that say how a compute was cut short rather than what its node computes: the node is
// computed again at its next read.
bool is_transient(PyObject* exception) noexcept {
  return PyErr_GivenExceptionMatches(exception, PyExc_RecursionError) ||
         PyErr_GivenExceptionMatches(exception, PyExc_KeyboardInterrupt) ||
         PyErr_GivenExceptionMatches(exception, PyExc_SystemExit) ||
         PyErr_GivenExceptionMatches(exception, PyExc_MemoryError);
}

// Whether `exception` is a PanicException (or of a subclass), of whichever module made it.
bool is_panic(PyObject* exception) noexcept {
  const ModuleState* module = find_state(Py_TYPE(exception));
  return module != nullptr && PyErr_GivenExceptionMatches(exception, module->panic);
}

// The raised exception as one normalised object with its traceback attached (a new reference).
PyObject* fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  drop_reference(type);
  drop_reference(traceback);
  return value;
#endif
}

void restore_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

std::string utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = text == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return {};
  }
  return std::string(data, size_t(size));
}

// "{qualified type name}: {str(exception)}", with a placeholder when str() fails.
std::string describe(PyObject* exception) {
  OwnedRef qualname = OwnedRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__qualname__"));
  std::string type_name =
      qualname ? utf8(qualname.get()) : std::string(Py_TYPE(exception)->tp_name);
  PyErr_Clear();
  OwnedRef text = OwnedRef::steal(PyObject_Str(exception));
  if (!text || PyUnicode_AsUTF8AndSize(text.get(), nullptr) == nullptr) {
    PyErr_Clear();
    return type_name + ": <exception str() failed>";
  }
  return type_name + ": " + utf8(text.get());
}

// Throws the engine failure that carries `exception` to the caller.
[[noreturn]] void throw_carrying(OwnedRef exception, std::string message) {
  const bool transient = is_transient(exception.get());
  auto detail = std::make_shared<const CallbackException>(std::move(exception));
  if (transient) throw TransientFailure(std::move(message), std::move(detail));
  throw Failure(std::move(message), std::move(detail));
}

std::string str_of(PyObject* exception) {
  OwnedRef text = OwnedRef::steal(PyObject_Str(exception));
  if (!text) {
    PyErr_Clear();
    return "<exception str() failed>";
  }
  return utf8(text.get());
}

// Like a class statement's exception class, its instances take weak references. The engine's
// own panics say what failure they stand for, so one passing back through a callback is thrown
// on as the same kind.
struct PanicObject {
  PyBaseExceptionObject base;
  PyObject* weakrefs;
  bool notice_shown;  // a notice for the failure it reports went to standard error already
  bool transient;     // a TransientFailure: the computes it passes back through are not Failed
  bool read_failure;  // a ReadFailure: likewise
  bool cause_chained;  // its cause is named, not carried: the failure's own message goes on
};

// The detail of a failure a PanicException without a cause left when it passed back through
// a callback: its notice was shown there, once for the whole way up.
class PanicPassedBack final : public FailureDetail {};

// A new PanicException with the failure's text, marked with what the failure is.
OwnedRef new_panic(const ModuleState& module, const std::exception& failure) noexcept {
  OwnedRef panic = OwnedRef::steal(PyObject_CallFunction(module.panic, "s", failure.what()));
  if (!panic) return panic;
  auto* fields = reinterpret_cast<PanicObject*>(panic.get());
  const auto* engine_failure = dynamic_cast<const Failure*>(&failure);
  fields->notice_shown = engine_failure != nullptr &&
                         dynamic_cast<const PanicPassedBack*>(engine_failure->detail()) != nullptr;
  fields->transient = dynamic_cast<const TransientFailure*>(&failure) != nullptr;
  fields->read_failure = dynamic_cast<const ReadFailure*>(&failure) != nullptr;
  return panic;
}

// What a class statement's __weakref__ attribute reads: the first weak reference, or None.
PyObject* panic_weakref(PyObject* self, void*) {
  PyObject* first = reinterpret_cast<PanicObject*>(self)->weakrefs;
  return OwnedRef::new_ref(first != nullptr ? first : Py_None).release();
}

}  // namespace

PyObject* create_panic_exception(PyObject* module) {
  static PyGetSetDef getset[] = {
      {"__weakref__", panic_weakref, nullptr,
       const_cast<char*>("list of weak references to the object"), nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static PyMemberDef members[] = {
      {"__weaklistoffset__", T_PYSSIZET, Py_ssize_t(offsetof(PanicObject, weakrefs)), READONLY,
       nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kPanicDoc)},
      {Py_tp_members, members},
      {Py_tp_getset, getset},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      "velk_concurrent.PanicException", sizeof(PanicObject), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,  // GC from the base
      slots};
  return check(PyType_FromModuleAndSpec(module, &spec, PyExc_BaseException));
}

// The failure for the exception a callback raised, set on this thread. Out of line: the call
// that returns stays short.
void callback_detail::throw_callback_failure() {
  OwnedRef exception = OwnedRef::steal(fetch_exception());
  if (!exception) fail("velk: python callback raised: <no exception set>");
  std::string message;
  OwnedRef carried;  // what travels to the caller: the exception, or a panic's nested cause
  if (is_panic(exception.get())) {
    // The panic RuntimeRef.get raised for a nested callback's exception carries it (as its
    // cause) on to the caller.
    carried = OwnedRef::steal(PyException_GetCause(exception.get()));
    const auto* fields = reinterpret_cast<PanicObject*>(exception.get());
    if (!carried || fields->cause_chained) {
      // A panic of its own: without a cause its traceback would be lost, so show it, once: the
      // failure it becomes raises an already shown panic at each level further up. One
      // carrying a nested callback's exception is not shown: that exception reaches the
      // caller. Printing at every level of a deep chain floods stderr (and fails near the
      // recursion limit).
      if (!carried && !fields->notice_shown) {
        PySys_WriteStderr("velk: a PanicException passed back through a Python callback:\n");
        restore_exception(OwnedRef::new_ref(exception.get()).release());
        PyErr_PrintEx(0);
      }
      message = str_of(exception.get());
      auto passed = std::make_shared<const PanicPassedBack>();
      std::shared_ptr<const CallbackException> cause;
      if (carried) cause = std::make_shared<const CallbackException>(std::move(carried));
      if (fields->transient) throw TransientFailure(std::move(message), passed, cause);
      if (fields->read_failure) throw ReadFailure(std::move(message), passed, cause);
      throw Failure(std::move(message), passed, cause);
    }
    message = str_of(exception.get());
  } else {
    message = "velk: python callback raised: " + describe(exception.get());
    carried = std::move(exception);
  }
  throw_carrying(std::move(carried), std::move(message));
}

void callback_detail::refuse_nested_too_deeply() {
  // Reported as the callback's own RecursionError, like a chain too deep for the interpreter's
  // limit, instead of overflowing the native stack.
  PyErr_SetString(PyExc_RecursionError,
                  "maximum recursion depth exceeded: computations nested too deeply for the "
                  "native stack");
  throw_callback_failure();
}

void throw_if_interruption(const char* where) {
  if (!PyErr_Occurred()) return;
  OwnedRef exception = OwnedRef::steal(fetch_exception());
  if (!is_transient(exception.get()) ||
      PyErr_GivenExceptionMatches(exception.get(), PyExc_RecursionError)) {
    restore_exception(exception.release());  // not an interruption: left set for the caller
    return;
  }
  std::string message = std::string("velk: ") + where + " raised: " + describe(exception.get());
  throw_carrying(std::move(exception), std::move(message));
}

void check_signals_while_waiting() {
  if (interpreter_finalizing()) return;
  GilEnsure gil;
  if (PyErr_CheckSignals() == 0) return;
  OwnedRef exception = OwnedRef::steal(fetch_exception());
  if (!exception) return;
  std::string message = "velk: wait interrupted: " + describe(exception.get());
  throw_carrying(std::move(exception), std::move(message));
}

void throw_current_error_as_failure(const char* context) {
  OwnedRef exception = OwnedRef::steal(fetch_exception());
  fail(std::string(context) + ": " + (exception ? describe(exception.get()) : "unknown error"));
}

void CarriedErrors::take_from_this_thread() noexcept {
  if (PyErr_Occurred() != nullptr) raised_ = OwnedRef::steal(fetch_exception());
}

void CarriedErrors::restore_on_this_thread() noexcept {
  if (raised_) restore_exception(raised_.release());
}

PyObject* callback_exception(const std::exception& failure) noexcept {
  const auto* engine_failure = dynamic_cast<const Failure*>(&failure);
  if (engine_failure == nullptr) return nullptr;
  const auto* carried = dynamic_cast<const CallbackException*>(engine_failure->detail());
  return carried == nullptr ? nullptr : carried->get();
}

namespace {

// The exception a failure's cause carries (borrowed), or nullptr.
PyObject* cause_exception(const std::exception& failure) noexcept {
  const auto* engine_failure = dynamic_cast<const Failure*>(&failure);
  if (engine_failure == nullptr) return nullptr;
  const auto* carried = dynamic_cast<const CallbackException*>(engine_failure->cause());
  return carried == nullptr ? nullptr : carried->get();
}

}  // namespace

PyObject* raise_mapped(const ModuleState&, const std::exception& failure) noexcept {
  if (PyObject* exception = callback_exception(failure)) {
    restore_exception(OwnedRef::new_ref(exception).release());
    return nullptr;
  }
  PyObject* cause = cause_exception(failure);
  if (cause == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, failure.what());
    return nullptr;
  }
  OwnedRef error = OwnedRef::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", failure.what()));
  if (!error) return nullptr;
  PyException_SetCause(error.get(), OwnedRef::new_ref(cause).release());
  PyErr_SetObject(PyExc_RuntimeError, error.get());
  return nullptr;
}

PyObject* raise_held(const ModuleState& module, const std::exception& failure) noexcept {
  OwnedRef panic = new_panic(module, failure);
  if (panic) PyErr_SetObject(module.panic, panic.get());
  return nullptr;
}

PyObject* raise_panic_with_cause(const ModuleState& module,
                                 const std::exception& failure) noexcept {
  PyObject* cause = callback_exception(failure);
  // A failed node read again names what its compute failed with; the failure goes on with its
  // own message, naming the same cause.
  bool chained = false;
  if (cause == nullptr) {
    cause = cause_exception(failure);
    chained = cause != nullptr;
  }
  if (cause == nullptr) return raise_held(module, failure);
  OwnedRef panic = new_panic(module, failure);
  if (!panic) return nullptr;
  reinterpret_cast<PanicObject*>(panic.get())->cause_chained = chained;
  PyException_SetCause(panic.get(), OwnedRef::new_ref(cause).release());
  PyErr_SetObject(module.panic, panic.get());
  return nullptr;
}

}  // namespace velk::py
