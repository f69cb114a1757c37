#include "adapters/collection_operators.h"

#include <atomic>
#include <cassert>
#include <optional>

#include "adapters/engine_gc.h"
#include "adapters/version_mirror.h"
#include "support/errors.h"
#include "support/gil.h"
#include "velk/collections/aggregate.h"
#include "velk/collections/collection_ops.h"

namespace velk::py {

namespace {

// What map and filter make of one element: map yields func(x); filter yields x itself when
// predicate(x) is truthy (a truth test that raises counts as not matching). Requires the
// interpreter lock; a raising user function throws the callback failure.
class ElementRule {
 public:
  ElementRule(PyObject* function, bool is_filter)
      : function_(PyValue::new_ref(function)), is_filter_(is_filter) {}

  std::optional<PyValue> apply(PyValue element) const {
    PyObject* args[] = {element.get()};
    OwnedRef result = invoke_callback(function_.get(), args, 1);
    if (!is_filter_) return PyValue::steal(result.release());
    const int truth = PyObject_IsTrue(result.get());
    if (truth < 0) PyErr_Clear();
    if (truth != 1) return std::nullopt;
    return element;
  }

  template <class Visit>
  void for_each_value(Visit&& visit) const {
    visit(function_);
  }

 private:
  PyValue function_;
  bool is_filter_;
};

struct ElementwiseOperator {
  SourceLink<PyValue> source;
  std::shared_ptr<CollectionState<PyValue>> output;
  std::shared_ptr<const ElementRule> rule;

  uint64_t operator()(Runtime& runtime, uint32_t) const {
    return consume_deltas(runtime, source, *output, [this](std::vector<Delta<PyValue>>& batch) {
      std::vector<Delta<PyValue>> changes;
      changes.reserve(batch.size());
      GilEnsure gil;
      for (Delta<PyValue>& delta : batch) {
        if (auto out = rule->apply(std::move(delta.element))) {
          changes.push_back(Delta<PyValue>{delta.kind, std::move(*out)});
        }
      }
      batch.clear();  // drop the copies while the interpreter lock is held
      return changes;
    });
  }

  void visit_held(HeldVisitor& visitor) const {
    if (ValueVisitor<PyValue>* values = python_values(visitor)) {
      offer_shared(*values, source.state);
      offer_shared(*values, output);
      offer_shared(*values, rule);
    }
  }
};

CollectionHandle<PyValue> build_elementwise(Runtime& runtime,
                                            const CollectionHandle<PyValue>& source,
                                            PyObject* function, bool is_filter) {
  auto rule = std::make_shared<const ElementRule>(function, is_filter);
  auto [link, snapshot] = subscribe(source);
  std::vector<PyValue> seed;
  seed.reserve(snapshot.size());
  for (size_t i = 0; i < snapshot.size(); ++i) {
    prefetch_ahead(snapshot, i);
    if (auto out = rule->apply(std::move(snapshot[i]))) seed.push_back(std::move(*out));
  }
  CollectionHandle<PyValue> handle;
  handle.state = seeded_output(std::move(seed));
  handle.derived = true;
  handle.version_node = create_operator<uint64_t>(
      runtime, ElementwiseOperator{std::move(link), handle.state, std::move(rule)},
      {ErasedVelk(source.version_node)}, handle.state);
  return handle;
}

// The count as a Python int, in one node: its NodeId is the operator itself, so deleting it
// releases the operator's place in the source's log.
struct CountOperator {
  SourceLink<PyValue> source;
  std::shared_ptr<std::atomic<int64_t>> count;

  PyValue operator()(Runtime& runtime, uint32_t) const {
    runtime.get(source.version_node);
    {
      // Summed in place under the read lock: count never copies elements.
      CollectionReadGuard guard(source.state->lock());
      const uint64_t position = source.cursor->load();
      if (position < source.state->log_end()) {
        int64_t sum = 0;
        source.state->for_each_delta_since(position, [&sum](const Delta<PyValue>& d) {
          sum += d.kind == DeltaKind::Insert ? 1 : -1;
        });
        count->fetch_add(sum, std::memory_order_acq_rel);
        source.cursor->store(source.state->log_end());
      }
    }
    const int64_t value = count->load(std::memory_order_acquire);
    GilEnsure gil;
    return python_int(value >= 1 ? uint64_t(value) : 0);
  }

  void visit_held(HeldVisitor& visitor) const {
    if (ValueVisitor<PyValue>* values = python_values(visitor)) offer_shared(*values, source.state);
  }
};

struct ReduceOperator {
  std::shared_ptr<CollectionState<PyValue>> source;
  Velk<uint64_t> version_node;
  PyValue fold_fn;

  PyValue operator()(Runtime& runtime, uint32_t) const {
    runtime.get(version_node);
    std::vector<PyValue> elements;
    {
      CollectionReadGuard guard(source->lock());
      elements = source->snapshot();
    }
    GilEnsure gil;
    OwnedRef list = OwnedRef::steal(PyList_New(Py_ssize_t(elements.size())));
    if (!list) throw_current_error_as_failure("velk: building the list for reduce failed");
    for (size_t i = 0; i < elements.size(); ++i) {
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), OwnedRef::new_ref(elements[i].get()).release());
    }
    elements.clear();
    PyObject* args[] = {list.get()};
    return PyValue::steal(invoke_callback(fold_fn.get(), args, 1).release());
  }

  void visit_held(HeldVisitor& visitor) const {
    if (ValueVisitor<PyValue>* values = python_values(visitor)) {
      offer_shared(*values, source);
      values->visit(fold_fn);
    }
  }
};

// lift and combine as the aggregate tree calls them. The tree calls them only while the
// interpreter lock is held (at build, and under the aggregate step's batch scope), so a change
// costs its Python calls and nothing more.
struct FoldFunctions {
  PyValue lift_fn;
  PyValue combine_fn;

  PyValue lift(const PyValue& x) const {
    assert(PyGILState_Check());
    return call_with(lift_fn.get(), x);
  }
  PyValue combine(const PyValue& a, const PyValue& b) const {
    assert(PyGILState_Check());
    PyObject* args[] = {a.get(), b.get()};
    return PyValue::steal(invoke_callback(combine_fn.get(), args, 2).release());
  }

  template <class Visit>
  void for_each_value(Visit&& visit) const {
    visit(lift_fn);
    visit(combine_fn);
  }
};

struct AggregateOperator {
  AggregateLink<PyValue, PyValue> link;
  std::shared_ptr<const FoldFunctions> fold;

  PyValue operator()(Runtime& runtime, uint32_t) const {
    const FoldFunctions& f = *fold;
    return aggregate_step(
        runtime, link, [&f](const PyValue& x) { return f.lift(x); },
        [&f](const PyValue& a, const PyValue& b) { return f.combine(a, b); });
  }

  void visit_held(HeldVisitor& visitor) const {
    ValueVisitor<PyValue>* values = python_values(visitor);
    if (values == nullptr) return;
    offer_shared(*values, link.source.state);
    offer_shared(*values, fold);
    // The tree is replaced whole by a rebuild; its holder is what the operator shares.
    if (link.tree && *link.tree && values->first_visit(link.tree.get())) {
      (*link.tree)->for_each_value([values](const PyValue& v) { values->visit(v); });
    }
  }
};

}  // namespace

NodeHandle build_aggregate(Runtime& runtime, const CollectionHandle<PyValue>& source,
                           PyObject* identity, PyObject* lift, PyObject* combine) {
  auto fold = std::make_shared<const FoldFunctions>(
      FoldFunctions{PyValue::new_ref(lift), PyValue::new_ref(combine)});
  auto [source_link, snapshot] = subscribe(source);
  AggregateLink<PyValue, PyValue> link;
  link.source = std::move(source_link);
  link.tree = std::make_shared<std::unique_ptr<AggregateTree<PyValue, PyValue>>>(
      build_aggregate_tree<PyValue, PyValue>(
          PyValue::new_ref(identity), snapshot, [&](const PyValue& x) { return fold->lift(x); },
          [&](const PyValue& a, const PyValue& b) { return fold->combine(a, b); }));
  return create_operator<PyValue>(runtime, AggregateOperator{std::move(link), std::move(fold)},
                                  {ErasedVelk(source.version_node)});
}

CollectionHandle<PyValue> build_map(Runtime& runtime, const CollectionHandle<PyValue>& source,
                                    PyObject* func) {
  return build_elementwise(runtime, source, func, false);
}

CollectionHandle<PyValue> build_filter(Runtime& runtime, const CollectionHandle<PyValue>& source,
                                       PyObject* predicate) {
  return build_elementwise(runtime, source, predicate, true);
}

NodeHandle build_count(Runtime& runtime, const CollectionHandle<PyValue>& source) {
  auto [link, snapshot] = subscribe(source);
  auto count = std::make_shared<std::atomic<int64_t>>(int64_t(snapshot.size()));
  snapshot.clear();
  return create_operator<PyValue>(runtime, CountOperator{std::move(link), count},
                                  {ErasedVelk(source.version_node)});
}

NodeHandle build_reduce(Runtime& runtime, const CollectionHandle<PyValue>& source,
                        PyObject* fold_fn) {
  source.state->check_live();
  return create_operator<PyValue>(
      runtime, ReduceOperator{source.state, source.version_node, PyValue::new_ref(fold_fn)},
      {ErasedVelk(source.version_node)});
}

}  // namespace velk::py
