// How failures cross the boundary between the engine and Python: the callback invoker that
// turns a raising Python callable into an engine failure, the per-thread pending-error slot
// where the raised exception waits, and the mapping of failures back to Python exceptions.
#pragma once

#include <exception>

#include "py_value.h"
#include "refs.h"

namespace velk::py {

// The binding's PanicException type (derived from BaseException). Created at module init.
PyObject* panic_exception_type() noexcept;
void create_panic_exception();

// Calls `callable(*args)` with the interpreter lock held and returns the new reference. When
// the call raises, stores the exception in this thread's pending-error slot and throws
// velk::Failure("velk: python callback raised: {error}"). A PanicException coming back through
// the callback is not stored: its notice and traceback go to standard error, the exception it
// carries as its cause (if any) is parked again, and the failure continues with its message.
OwnedRef invoke_callback(PyObject* callable, PyObject* const* args, size_t nargs);

// callable(x) through the invoker, as an engine value. Requires the interpreter lock.
PyValue call_with(PyObject* callable, const PyValue& x);

// Turns the Python error currently set into an engine failure with its text (for binding
// steps that fail inside engine work, such as creating a RuntimeRef).
[[noreturn]] void throw_current_error_as_failure(const char* context);

// The pending-error slot of the calling thread.
void clear_pending_error() noexcept;

// The Python side of a failure, carried from the thread where it happened to the thread that
// reports it: the exception parked in the pending-error slot, and the error left set by binding
// code that failed with PyErrOccurred. Taken, restored and dropped with the interpreter lock.
class CarriedErrors {
 public:
  // Moves both off the calling thread.
  void take_from_this_thread() noexcept;
  // Parks and sets what was taken on the calling thread, as if it had happened there; a slot
  // that had nothing to carry leaves this thread's slot as it is.
  void restore_on_this_thread() noexcept;

 private:
  OwnedRef parked_;
  OwnedRef raised_;
};

// Marks one call of a mapped method. The outermost one (no computation running on the thread)
// clears the pending-error slot when it starts and when it succeeds, so an exception parked by
// an earlier, unrelated failure is never re-raised by this call.
class MappedCall {
 public:
  MappedCall() noexcept;
  ~MappedCall();
  MappedCall(const MappedCall&) = delete;
  MappedCall& operator=(const MappedCall&) = delete;

 private:
  bool outermost_;
};

// Sets the Python error for a failure that left a mapped method: the callback's own exception
// if one waits in the slot, else RuntimeError with the failure's text. Returns nullptr.
PyObject* raise_mapped(const std::exception& failure) noexcept;

// Sets PanicException with the failure's text for a held method, dropping any exception parked
// in the slot by this failure. Returns nullptr.
PyObject* raise_held(const std::exception& failure) noexcept;

// Like raise_held, but moves the exception parked by this failure into the PanicException as
// its cause: used by RuntimeRef.get, whose nested failure travels back through the query
// function to the outer mapped method.
PyObject* raise_panic_keeping_slot(const std::exception& failure) noexcept;

// The single catch boundary of a method body: converts every C++ exception into a Python error
// with `raise` and returns nullptr; PyErrOccurred means the error is already set.
template <class Body, class Raise>
PyObject* boundary(Body&& body, Raise&& raise) noexcept {
  try {
    return body();
  } catch (const PyErrOccurred&) {
    return nullptr;
  } catch (const std::exception& failure) {
    return raise(failure);
  } catch (...) {
    PyErr_SetString(panic_exception_type(), "velk: unknown internal failure");
    return nullptr;
  }
}

}  // namespace velk::py
