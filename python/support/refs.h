// Owned and borrowed references to Python objects, and the C++ exception that means
// "a Python error is set". No bare reference-count decrements outside these.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velk::py {

// Thrown by binding code when a Python API call failed and left its error set.
struct PyErrOccurred {};

inline PyObject* check(PyObject* result) {
  if (result == nullptr) throw PyErrOccurred{};
  return result;
}

class BorrowedRef {
 public:
  BorrowedRef() = default;
  explicit BorrowedRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a reference the caller owns (a new reference from the C API).
  static OwnedRef steal(PyObject* obj) noexcept { return OwnedRef(obj); }
  // Takes a new reference to an object the caller only borrows.
  static OwnedRef new_ref(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return OwnedRef(obj);
  }
  // Steals a new reference from a C API call; throws PyErrOccurred when it is null.
  static OwnedRef checked(PyObject* obj) { return OwnedRef(check(obj)); }

  OwnedRef(OwnedRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    OwnedRef old(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  BorrowedRef borrow() const noexcept { return BorrowedRef(obj_); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit OwnedRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Drops a reference the caller owns (a heap type's reference from its instance's dealloc, an
// object taken off a list of deferred drops).
inline void drop_reference(PyObject* obj) noexcept { OwnedRef::steal(obj); }
inline void drop_reference(PyTypeObject* type) noexcept {
  drop_reference(reinterpret_cast<PyObject*>(type));
}

}  // namespace velk::py
