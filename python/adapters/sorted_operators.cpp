#include "adapters/sorted_operators.h"

#include "adapters/engine_gc.h"
#include "adapters/join_group_operators.h"
#include "support/errors.h"
#include "support/gil.h"
#include "values/built_objects.h"
#include "velk/collections/positional.h"

namespace velk::py {

namespace {

// Whether a <= b as the sorted state inserts: a < b, else a == b (without the identity
// shortcut: an insert puts a key not equal to itself before its own object). A comparison that
// raises answers false.
bool not_after(PyObject* a, PyObject* b) {
  const int less = PyObject_RichCompareBool(a, b, Py_LT);
  if (less != 0) return less == 1;
  OwnedRef equal = OwnedRef::steal(PyObject_RichCompare(a, b, Py_EQ));
  return equal && PyObject_IsTrue(equal.get()) == 1;
}

// The positions of `keys` sorted stably by `<`, in one sort of the interpreter's (whose
// comparisons of like builtin keys call no method), when each key is then less than or equal
// to the next: what inserting them one by one gives for keys ordered consistently. Otherwise
// empty, and they go in one by one, where a comparison that raises counts as false; an
// interruption is thrown. Requires the interpreter lock.
std::vector<size_t> stable_order(const std::vector<PyValue>& keys) {
  const Py_ssize_t n = Py_ssize_t(keys.size());
  OwnedRef list = OwnedRef::checked(PyList_New(n));
  OwnedRef positions = OwnedRef::checked(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    prefetch_ahead(keys, size_t(i));
    PyList_SET_ITEM(list.get(), i, OwnedRef::new_ref(keys[size_t(i)].get()).release());
    PyList_SET_ITEM(positions.get(), i, OwnedRef::checked(PyLong_FromSsize_t(i)).release());
  }
  OwnedRef key_of = OwnedRef::checked(PyObject_GetAttrString(list.get(), "__getitem__"));
  OwnedRef kwnames = OwnedRef::checked(Py_BuildValue("(s)", "key"));
  OwnedRef name = OwnedRef::checked(PyUnicode_FromString("sort"));
  PyObject* args[] = {positions.get(), key_of.get()};
  OwnedRef sorted = OwnedRef::steal(PyObject_VectorcallMethod(name.get(), args, 1, kwnames.get()));
  std::vector<size_t> order;
  if (sorted) {
    order.resize(keys.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
      order[size_t(i)] = size_t(PyLong_AsSsize_t(PyList_GET_ITEM(positions.get(), i)));
      if (i > 0 && !not_after(keys[order[size_t(i) - 1]].get(), keys[order[size_t(i)]].get())) {
        order.clear();
        break;
      }
    }
  }
  if (PyErr_Occurred()) {
    throw_if_interruption("__lt__");
    PyErr_Clear();
  }
  return order;
}

struct SortOperator {
  SourceLink<PyValue> source;
  std::shared_ptr<SortedState<PyValue>> sorted;
  PyValue key_fn;

  uint64_t operator()(Runtime& runtime, uint32_t) const {
    return sort_step(
        runtime, source, *sorted,
        [this](const std::vector<Delta<PyValue>>& batch) {
          return keys_of_deltas(key_fn.get(), batch, true);
        },
        [](const std::vector<PyValue>& keys) {
          GilEnsure gil;
          return stable_order(keys);
        });
  }

  void visit_held(HeldVisitor& visitor) const {
    if (ValueVisitor<PyValue>* values = python_values(visitor)) {
      offer_shared(*values, source.state);
      offer_shared(*values, sorted);
      values->visit(key_fn);
    }
  }
};

template <class Out, class Rule>
struct PositionalOperator {
  SortedLink<PyValue> source;
  std::shared_ptr<SortedMirror<PyValue>> mirror;
  std::shared_ptr<CollectionState<Out>> out;
  Rule rule;

  uint64_t operator()(Runtime& runtime, uint32_t) const {
    return positional_step(runtime, source, *mirror, *out, rule);
  }

  void visit_held(HeldVisitor& visitor) const {
    if (ValueVisitor<PyValue>* values = python_values(visitor)) {
      offer_shared(*values, source.state);
      offer_shared(*values, mirror);
      offer_shared(*values, out);
    }
  }
};

PyValue list_of(const Window<PyValue>& window) {
  PyObject* list = PyList_New(Py_ssize_t(window.size()));
  if (list == nullptr) throw_current_error_as_failure("velk: building a window list failed");
  for (size_t i = 0; i < window.size(); ++i) {
    PyList_SET_ITEM(list, Py_ssize_t(i), OwnedRef::new_ref(window[i].get()).release());
  }
  return PyValue::steal(list);
}

struct ListOperator {
  SourceLink<Window<PyValue>> windows;
  std::shared_ptr<CollectionState<PyValue>> output;
  std::shared_ptr<BuiltObjects<Window<PyValue>>> lists;

  uint64_t operator()(Runtime& runtime, uint32_t) const {
    auto to_lists = [this](std::vector<Delta<Window<PyValue>>>& batch) {
      GilEnsure gil;
      std::vector<Delta<PyValue>> changes = lists->translate(batch, list_of);
      batch.clear();
      return changes;
    };
    return consume_deltas(runtime, windows, *output, to_lists);
  }

  void visit_held(HeldVisitor& visitor) const {
    if (ValueVisitor<PyValue>* values = python_values(visitor)) {
      offer_shared(*values, windows.state);
      offer_shared(*values, output);
      offer_shared(*values, lists);
    }
  }
};

// Subscribes a positional stage to the sorted state and creates its node.
template <class Out, class Rule>
std::pair<std::shared_ptr<CollectionState<Out>>, Velk<uint64_t>> build_positional(
    Runtime& runtime, const SortedHandle& sorted, Rule rule) {
  SortedLink<PyValue> link{nullptr, nullptr, sorted.sort_node};
  auto mirror = std::make_shared<SortedMirror<PyValue>>();
  // Only the list or tuple stage reads the intermediate state, and it keeps its own table.
  auto out =
      subscribe_positional<PyValue, Out>(sorted.state, link, *mirror, rule, Contents::LogOnly);
  const Velk<uint64_t> node = create_operator<uint64_t>(
      runtime, PositionalOperator<Out, Rule>{std::move(link), std::move(mirror), out, rule},
      {ErasedVelk(sorted.sort_node)}, out);
  return {out, node};
}

}  // namespace

SortedHandle build_sort_by_key(Runtime& runtime, const CollectionHandle<PyValue>& source,
                               PyObject* key_fn) {
  auto [link, snapshot] = subscribe(source);
  auto sorted = std::make_shared<SortedState<PyValue>>();
  std::vector<PyValue> keys = keys_of(key_fn, snapshot);
  const std::vector<size_t> order = stable_order(keys);
  {
    CollectionWriteGuard guard(sorted->lock());
    [[maybe_unused]] ValueBatchScope<PyValue> values;  // one hold for the copies and lookups
    sorted->seed(std::move(keys), std::move(snapshot), order);
  }
  const Velk<uint64_t> node = create_operator<uint64_t>(
      runtime, SortOperator{std::move(link), sorted, PyValue::new_ref(key_fn)},
      {ErasedVelk(source.version_node)}, sorted);
  return SortedHandle{std::move(sorted), node};
}

CollectionHandle<PyValue> build_window(Runtime& runtime, const SortedHandle& sorted, size_t size) {
  if (size == 0) fail("window size must be positive");
  auto [windows, window_node] =
      build_positional<Window<PyValue>>(runtime, sorted, WindowRule<PyValue>{size});
  CollectionHandle<Window<PyValue>> intermediate{windows, window_node, true};
  auto [link, snapshot] = subscribe(intermediate);
  auto lists = std::make_shared<BuiltObjects<Window<PyValue>>>();
  CollectionHandle<PyValue> output;
  output.state = seeded_output(lists->seed(std::move(snapshot), list_of), Matching::Identity);
  output.derived = true;
  output.version_node = create_operator<uint64_t>(
      runtime, ListOperator{std::move(link), output.state, std::move(lists)},
      {ErasedVelk(window_node)}, output.state);
  return output;
}

CollectionHandle<PyValue> build_pairwise(Runtime& runtime, const SortedHandle& sorted) {
  auto [pairs, pair_node] =
      build_positional<std::pair<PyValue, PyValue>>(runtime, sorted, PairRule<PyValue>{});
  return build_tuple_stage(runtime, pairs, pair_node);
}

}  // namespace velk::py
