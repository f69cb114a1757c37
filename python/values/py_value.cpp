#include "values/py_value.h"

#include "support/errors.h"
#include "support/gil.h"
#include "velk/memory/hazard.h"

namespace velk::py {

namespace {

// The hash every value shares that cannot be hashed: such values are told apart by equality.
constexpr int64_t kUnhashable = 0x2545F4914F6CDD1D;

// Drops the error a comparison or hash raised, unless it is an interruption for the caller.
void absorb_error(const char* where) {
  throw_if_interruption(where);
  PyErr_Clear();
}

// The truth of what `call` returns; a raising call or truth test counts as false.
template <class Call>
bool true_result(Call call, const char* where) {
  PyObject* result = park_if_ended(call);
  if (result == nullptr) {
    absorb_error(where);
    return false;
  }
  OwnedRef owned = OwnedRef::steal(result);
  if (result == Py_True || result == Py_False) return result == Py_True;  // nearly always
  const int truth = park_if_ended([&] { return PyObject_IsTrue(owned.get()); });
  if (truth < 0) {
    absorb_error(where);
    return false;
  }
  return truth == 1;
}

bool compare_true(PyObject* a, PyObject* b, int op, const char* where) {
  return true_result([&] { return PyObject_RichCompare(a, b, op); }, where);
}

// Set aside for the length of one call into Python, restored however the call ends.
class PreservedError {
 public:
  PreservedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~PreservedError() { PyErr_Restore(type_, value_, traceback_); }
  PreservedError(const PreservedError&) = delete;
  PreservedError& operator=(const PreservedError&) = delete;

 private:
  PyObject *type_, *value_, *traceback_;
};

// Runs `fn`, keeping any error already set on this thread. With none set (nearly always)
// nothing is saved: `fn` leaves no error behind, it absorbs or throws it. Requires the
// interpreter lock.
template <class F>
auto preserving_error(F fn) {
  if (!PyErr_Occurred()) return fn();
  PreservedError saved;
  return fn();
}

template <class F>
auto with_gil_preserving_error(F fn) {
  GilEnsure gil;
  return preserving_error(fn);
}

// Two objects of one exact built-in type whose own comparison is all that == runs for them and
// can neither raise nor call Python code: int, float, str, bytes. Comparing through the type
// skips the generic dispatch and the error bookkeeping, and keeps == exactly (a float NaN is
// unequal to itself).
bool plain_scalars(PyObject* a, PyObject* b) noexcept {
  const PyTypeObject* type = Py_TYPE(a);
  return type == Py_TYPE(b) && (type == &PyLong_Type || type == &PyFloat_Type ||
                                type == &PyUnicode_Type || type == &PyBytes_Type);
}

bool plain_scalars_equal(PyObject* a, PyObject* b) noexcept {
  return OwnedRef::steal(Py_TYPE(a)->tp_richcompare(a, b, Py_EQ)).get() == Py_True;
}

// a == b by the general protocol. Out of line, so that the scalar path keeps a small frame.
[[gnu::noinline]] bool equal_by_dunder(PyObject* a, PyObject* b) {
  return preserving_error([&] { return compare_true(a, b, Py_EQ, "__eq__"); });
}

}  // namespace

PyValue::PyValue(const PyValue& other) : obj_(other.obj_) {
  GilEnsure gil;
  Py_INCREF(obj_);
}

bool PyValue::equal_general(const PyValue& a, const PyValue& b) {
  GilEnsure gil;
  if (plain_scalars(a.obj_, b.obj_)) return plain_scalars_equal(a.obj_, b.obj_);
  return equal_by_dunder(a.obj_, b.obj_);
}

bool PyValue::equal_by(PyObject* equal, const PyValue& a, const PyValue& b) {
  return with_gil_preserving_error([&] {
    PyObject* args[] = {a.obj_, b.obj_};
    return true_result([&] { return PyObject_Vectorcall(equal, args, 2, nullptr); }, "equal");
  });
}

int64_t PyValue::hash(const PyValue& v) {
  return with_gil_preserving_error([&]() -> int64_t {
    // Checked first: failing to hash a list would build and discard a TypeError every time.
    if (Py_TYPE(v.obj_)->tp_hash == PyObject_HashNotImplemented) return kUnhashable;
    const Py_hash_t h = park_if_ended([&] { return PyObject_Hash(v.obj_); });
    if (h != -1 || !PyErr_Occurred()) return h;
    absorb_error("__hash__");
    return kUnhashable;
  });
}

bool PyValue::unhashable(const PyValue& v) {
  GilEnsure gil;  // a class's __hash__ may be reassigned meanwhile
  return Py_TYPE(v.obj_)->tp_hash == PyObject_HashNotImplemented;
}

PyValue call_with(PyObject* callable, const PyValue& x) {
  PyObject* args[] = {x.get()};
  return PyValue::steal(invoke_callback(callable, args, 1).release());
}

bool PyValue::less(const PyValue& a, const PyValue& b) {
  return with_gil_preserving_error([&] { return compare_true(a.obj_, b.obj_, Py_LT, "__lt__"); });
}

}  // namespace velk::py
