#include "errors.h"

#include <string>

#include "gil.h"
#include "py_value.h"
#include "stack_guard.h"
#include "velk/dep_stack.h"
#include "velk/failure.h"
#include "velk/hot_tls.h"

namespace velk::py {

namespace {

PyObject* panic_type = nullptr;

constexpr const char* kPanicDoc =
    "Raised when the module's native code fails with an internal error.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it normally "
    "propagates to the top and ends the interpreter.";

// One parked exception per thread. Dropped through PyValue's deferral at thread exit, when the
// interpreter lock may not be held.
struct PendingErrorSlot {
  PyObject* exception = nullptr;
  ~PendingErrorSlot() { PyValue::release_reference(std::exchange(exception, nullptr)); }
};
VELK_HOT_TLS thread_local PendingErrorSlot pending_error;

void store_pending(PyObject* exception) noexcept {
  PyValue::release_reference(std::exchange(pending_error.exception, exception));
}

PyObject* take_pending() noexcept { return std::exchange(pending_error.exception, nullptr); }

// The raised exception as one normalised object with its traceback attached (a new reference).
PyObject* fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
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
  OwnedRef qualname = OwnedRef::steal(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__qualname__"));
  std::string type_name = qualname ? utf8(qualname.get()) : std::string(Py_TYPE(exception)->tp_name);
  PyErr_Clear();
  OwnedRef text = OwnedRef::steal(PyObject_Str(exception));
  if (!text || PyUnicode_AsUTF8AndSize(text.get(), nullptr) == nullptr) {
    PyErr_Clear();
    return type_name + ": <exception str() failed>";
  }
  return type_name + ": " + utf8(text.get());
}

std::string str_of(PyObject* exception) {
  OwnedRef text = OwnedRef::steal(PyObject_Str(exception));
  if (!text) {
    PyErr_Clear();
    return "<exception str() failed>";
  }
  return utf8(text.get());
}

}  // namespace

PyObject* panic_exception_type() noexcept { return panic_type; }

void create_panic_exception() {
  if (panic_type != nullptr) return;
  panic_type = check(PyErr_NewExceptionWithDoc("velk_concurrent.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr));
}

OwnedRef invoke_callback(PyObject* callable, PyObject* const* args, size_t nargs) {
  PyObject* result = nullptr;
  if (native_stack_nearly_exhausted()) {
    // Reported as the callback's own RecursionError, like a chain too deep for the
    // interpreter's limit, instead of overflowing the native stack.
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded: computations nested too deeply for the "
                    "native stack");
  } else {
    result = PyObject_Vectorcall(callable, args, nargs, nullptr);
  }
  if (result != nullptr) return OwnedRef::steal(result);
  OwnedRef exception = OwnedRef::steal(fetch_exception());
  if (!exception) fail("velk: python callback raised: <no exception set>");
  std::string message;
  OwnedRef parked;  // what travels to the caller: the exception, or a panic's nested cause
  if (PyErr_GivenExceptionMatches(exception.get(), panic_type)) {
    // Only the panic RuntimeRef.get raised for a nested callback's exception carries it (as
    // its cause); anything parked earlier and handled since must not stand for this one.
    parked = OwnedRef::steal(PyException_GetCause(exception.get()));
    if (!parked) {
      // A panic of its own: its traceback would be lost, so show it. One carrying a nested
      // callback's exception is not shown: that exception reaches the caller unchanged, and
      // printing at every level of a deep chain floods stderr (and fails near the recursion
      // limit).
      PySys_WriteStderr("velk: a PanicException passed back through a Python callback:\n");
      restore_exception(OwnedRef::new_ref(exception.get()).release());
      PyErr_PrintEx(0);
    }
    message = str_of(exception.get());
  } else {
    message = "velk: python callback raised: " + describe(exception.get());
    parked = std::move(exception);
  }
  // The recursion limit says how deeply this read was nested, not what the node computes.
  const bool too_deep = parked && PyErr_GivenExceptionMatches(parked.get(), PyExc_RecursionError);
  store_pending(parked.release());
  if (too_deep) fail_transient(std::move(message));
  fail(std::move(message));
}

PyValue call_with(PyObject* callable, const PyValue& x) {
  PyObject* args[] = {x.get()};
  return PyValue::steal(invoke_callback(callable, args, 1).release());
}

void throw_current_error_as_failure(const char* context) {
  OwnedRef exception = OwnedRef::steal(fetch_exception());
  fail(std::string(context) + ": " + (exception ? describe(exception.get()) : "unknown error"));
}

void clear_pending_error() noexcept { store_pending(nullptr); }

void CarriedErrors::take_from_this_thread() noexcept {
  parked_ = OwnedRef::steal(take_pending());
  if (PyErr_Occurred() != nullptr) raised_ = OwnedRef::steal(fetch_exception());
}

void CarriedErrors::restore_on_this_thread() noexcept {
  if (parked_) store_pending(parked_.release());
  if (raised_) restore_exception(raised_.release());
}

MappedCall::MappedCall() noexcept : outermost_(!SharedDepStack::current().in_compute()) {
  if (outermost_) clear_pending_error();
}

MappedCall::~MappedCall() {
  // On failure the slot has already been taken by raise_mapped; on success nothing parked
  // during this call is wanted any more.
  if (outermost_) clear_pending_error();
}

PyObject* raise_mapped(const std::exception& failure) noexcept {
  if (PyObject* exception = take_pending()) {
    restore_exception(exception);
    return nullptr;
  }
  PyErr_SetString(PyExc_RuntimeError, failure.what());
  return nullptr;
}

PyObject* raise_held(const std::exception& failure) noexcept {
  clear_pending_error();
  return raise_panic_keeping_slot(failure);
}

PyObject* raise_panic_keeping_slot(const std::exception& failure) noexcept {
  OwnedRef cause = OwnedRef::steal(take_pending());
  if (!cause) {
    PyErr_SetString(panic_type, failure.what());
    return nullptr;
  }
  OwnedRef panic = OwnedRef::steal(PyObject_CallFunction(panic_type, "s", failure.what()));
  if (!panic) return nullptr;
  PyException_SetCause(panic.get(), cause.release());
  PyErr_SetObject(panic_type, panic.get());
  return nullptr;
}

}  // namespace velk::py
