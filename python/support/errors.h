// How failures cross the boundary between the engine and Python: the callback invoker that
// turns a raising Python callable into an engine failure carrying the raised exception, and the
// mapping of failures back to Python exceptions.
#pragma once

#include <exception>

#include "support/interpreter_exit.h"
#include "support/module_state.h"
#include "support/refs.h"
#include "support/stack_guard.h"

namespace velk::py {

// What a runtime's traversal offers the Python objects a kept failure holds to (the binding's
// values visitor is one too, adapters/engine_gc.cpp).
class HeldObjectVisitor {
 public:
  virtual void visit_object(PyObject* object) = 0;

 protected:
  ~HeldObjectVisitor() = default;
};

// A new PanicException class (derived from BaseException) for the module's state.
PyObject* create_panic_exception(PyObject* module);

namespace callback_detail {
[[noreturn, gnu::cold]] void refuse_nested_too_deeply();
[[noreturn, gnu::cold]] void throw_callback_failure();

// A plain Python function is called through its own entry: the generic call's check of the
// result adds nothing for one, whose frames always return a value or set an error.
inline PyObject* call(PyObject* callable, PyObject* const* args, size_t nargs) {
  if (Py_IS_TYPE(callable, &PyFunction_Type)) [[likely]]
    return reinterpret_cast<PyFunctionObject*>(callable)->vectorcall(callable, args, nargs,
                                                                     nullptr);
  return PyObject_Vectorcall(callable, args, nargs, nullptr);
}
}  // namespace callback_detail

// Calls `callable(*args)` with the interpreter lock held and returns the new reference. When
// the call raises, throws velk::Failure("velk: python callback raised: {error}") carrying the
// exception (see callback_exception). A PanicException coming back through the callback carries
// the exception it holds as its cause, if any; one without a cause is printed to standard error
// once (its traceback would be lost), where it first passes back, and the failure continues with
// its message, of the kind the panic stands for. Failures that
// say nothing about the node (RecursionError, KeyboardInterrupt, SystemExit, MemoryError) are
// thrown as velk::TransientFailure. Inline: every compute calls through it.
inline OwnedRef invoke_callback(PyObject* callable, PyObject* const* args, size_t nargs) {
  if (native_stack_nearly_exhausted()) [[unlikely]]
    callback_detail::refuse_nested_too_deeply();
  PyObject* result;
  try {  // park_if_ended, spelt out: the compiler keeps a call to it out of line
    result = callback_detail::call(callable, args, nargs);
  } catch (abi::__forced_unwind&) {
    park_forever();
  }
  if (result == nullptr) [[unlikely]]
    callback_detail::throw_callback_failure();
  return OwnedRef::steal(result);
}

// The interrupt hook of the engine's waits: runs pending signal handlers (with the interpreter
// lock, taken for the check) and throws a transient failure carrying the exception one raised,
// typically KeyboardInterrupt. Handlers run only on the main thread; elsewhere it does nothing.
void check_signals_while_waiting();

// Turns the Python error currently set into an engine failure with its text (for binding
// steps that fail inside engine work, such as creating a RuntimeRef).
[[noreturn]] void throw_current_error_as_failure(const char* context);

// The Python exception a failure carries (borrowed; it lives as long as the failure), or nullptr
// for a failure of the engine's own.
PyObject* callback_exception(const std::exception& failure) noexcept;

// For the __hash__, __eq__ and __lt__ calls of stored values, whose other errors are absorbed:
// if the error set on this thread is an interruption that must reach the caller
// (KeyboardInterrupt, SystemExit, MemoryError), throws the transient failure that carries it;
// otherwise leaves it set. Requires the interpreter lock.
void throw_if_interruption(const char* where);

// An error left set by binding code that failed with PyErrOccurred on one thread, carried to
// the thread that reports it (a failure's own exception travels inside the failure). Taken,
// restored and dropped with the interpreter lock.
class CarriedErrors {
 public:
  void take_from_this_thread() noexcept;
  void restore_on_this_thread() noexcept;

 private:
  OwnedRef raised_;
};

// Sets the Python error for a failure that left a mapped method: the callback's own exception
// if the failure carries one, else RuntimeError with the failure's text (and as its __cause__
// the exception the failure's cause carries, if any). Returns nullptr.
PyObject* raise_mapped(const ModuleState& module, const std::exception& failure) noexcept;

// Sets PanicException with the failure's text for a held method. Returns nullptr.
PyObject* raise_held(const ModuleState& module, const std::exception& failure) noexcept;

// Like raise_held, but with the callback's exception the failure (or its cause) carries as the
// panic's cause:
// used by RuntimeRef.get, whose nested failure travels back through the query function to the
// outer mapped method.
PyObject* raise_panic_with_cause(const ModuleState& module, const std::exception& failure) noexcept;

// One of the three above: how a method raises the failure that left it.
using RaiseFailure = PyObject* (*)(const ModuleState&, const std::exception&) noexcept;

// The single catch boundary of a method body: converts every C++ exception into a Python error
// with `raise` and returns nullptr; PyErrOccurred means the error is already set.
template <class Body>
PyObject* boundary(const ModuleState& module, Body&& body, RaiseFailure raise) noexcept {
  try {
    return body();
  } catch (const PyErrOccurred&) {
    return nullptr;
  } catch (abi::__forced_unwind&) {
    park_forever();  // the interpreter exits and ended this thread (interpreter_exit.h)
  } catch (const std::exception& failure) {
    return raise(module, failure);
  } catch (...) {
    PyErr_SetString(module.panic, "velk: unknown internal failure");
    return nullptr;
  }
}

}  // namespace velk::py
