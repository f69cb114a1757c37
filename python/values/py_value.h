// PyValue: the engine value that carries one strong reference to a Python object.
// Copying takes a new reference under the interpreter lock; destruction without the lock is
// deferred to the pending-release list; equality, hashing and ordering call Python and treat a
// raising comparison as false and a value that cannot be hashed (or whose hash raises) as
// sharing one hash with every such value, so that it is still found by equality. An
// interruption (KeyboardInterrupt, SystemExit, MemoryError) is never absorbed: it is parked
// for the caller and thrown as a failure.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "support/gil.h"
#include "support/pending_releases.h"
#include "support/refs.h"
#include "velk/base/handle.h"
#include "velk/base/value_traits.h"

namespace velk::py {

class PyValue {
 public:
  // Takes over a reference the caller owns. Requires the interpreter lock only if `obj` may be
  // dropped before it is stored.
  static PyValue steal(PyObject* obj) noexcept { return PyValue(obj); }
  // Takes a new reference; requires the interpreter lock.
  static PyValue new_ref(PyObject* obj) noexcept {
    Py_INCREF(obj);
    return PyValue(obj);
  }

  PyValue(const PyValue& other);
  PyValue(PyValue&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyValue& operator=(const PyValue& other) {
    if (this != &other) *this = PyValue(other);
    return *this;
  }
  // Moves are plain pointer moves: arrays of values (sorted entries, windows) shift them often,
  // and a moved-from value holds nothing to release.
  PyValue& operator=(PyValue&& other) noexcept {
    if (this == &other) return *this;
    PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
    if (old != nullptr) release_reference(old);
    return *this;
  }
  ~PyValue() {
    if (obj_ != nullptr) release_reference(obj_);
  }

  PyObject* get() const noexcept { return obj_; }

  // a == b. Two exact ints of at most one machine word compare here, without the interpreter
  // lock: an int never changes, and the reference each value holds keeps it alive.
  static bool equal(const PyValue& a, const PyValue& b) {
    if (const int small = small_ints_equal(a.obj_, b.obj_); small >= 0) [[likely]]
      return small == 1;
    return equal_general(a, b);
  }
  // equal(a, b) for a node's own equality, its errors treated like those of ==.
  static bool equal_by(PyObject* equal, const PyValue& a, const PyValue& b);
  static int64_t hash(const PyValue& v);
  // Whether the object's type cannot be hashed (lists, dicts, sets); calls no Python code.
  static bool unhashable(const PyValue& v);
  static bool less(const PyValue& a, const PyValue& b);

 private:
  explicit PyValue(PyObject* obj) noexcept : obj_(obj) {}

  // 1 or 0 when `a` and `b` are exact ints small enough to compare by their stored words; -1
  // otherwise. Calls nothing.
  static int small_ints_equal(PyObject* a, PyObject* b) noexcept {
#ifdef Py_GIL_DISABLED
    // There the int's words are read under the interpreter's own synchronisation, which the
    // thread sanitizer sees, instead of here.
    (void)a;
    (void)b;
    return -1;
#endif
    if (Py_TYPE(a) != &PyLong_Type || Py_TYPE(b) != &PyLong_Type) return -1;
    if (a == b) return 1;
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(a)) ||
        !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(b)))
      return -1;
    return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(a)) ==
           PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(b));
#else
    // Sign and digit count in the size, digits normalised: one digit or none is compared whole.
    const Py_ssize_t size = Py_SIZE(a);
    if (size < -1 || size > 1) return -1;
    if (size != Py_SIZE(b)) return 0;
    return size == 0 || reinterpret_cast<PyLongObject*>(a)->ob_digit[0] ==
                            reinterpret_cast<PyLongObject*>(b)->ob_digit[0];
#endif
  }
  static bool equal_general(const PyValue& a, const PyValue& b);

  PyObject* obj_;
};

// The engine's handle of a node holding a Python value.
using NodeHandle = Velk<PyValue>;

// callable(x) through the callback invoker (support/errors.h), as an engine value. Requires the
// interpreter lock.
PyValue call_with(PyObject* callable, const PyValue& x);

}  // namespace velk::py

template <>
struct velk::ValueTraits<velk::py::PyValue> {
  static constexpr std::string_view name = "velk_concurrent::PyValue";
  using BatchScope = py::GilEnsure;  // a batch of hashes and compares takes the lock once
  static bool equal(const py::PyValue& a, const py::PyValue& b) { return py::PyValue::equal(a, b); }
  static uint64_t hash(const py::PyValue& v) { return uint64_t(py::PyValue::hash(v)); }
  static bool unhashable(const py::PyValue& v) { return py::PyValue::unhashable(v); }
  static bool identical(const py::PyValue& a, const py::PyValue& b) noexcept {
    return a.get() == b.get();
  }
  static uint64_t identity_hash(const py::PyValue& v) noexcept {
    return uint64_t(reinterpret_cast<uintptr_t>(v.get())) * 0x9E3779B97F4A7C15ULL;
  }
  static bool less(const py::PyValue& a, const py::PyValue& b) { return py::PyValue::less(a, b); }
  // For writing: a copy's first touch is the reference count.
  static void prefetch(const py::PyValue& v) noexcept { __builtin_prefetch(v.get(), 1); }
};
