#include "adapters/join_group_operators.h"

#include "adapters/engine_gc.h"
#include "support/errors.h"
#include "support/gil.h"
#include "values/built_objects.h"
#include "velk/collections/join.h"

namespace velk::py {

namespace {

using Pair = std::pair<PyValue, PyValue>;

PyValue tuple_of(const Pair& pair) {
  PyObject* tuple = PyTuple_Pack(2, pair.first.get(), pair.second.get());
  if (tuple == nullptr) throw_current_error_as_failure("velk: building a join tuple failed");
  return PyValue::steal(tuple);
}

struct JoinOperator {
  JoinLinks<PyValue> links;
  PyValue left_key;
  PyValue right_key;

  uint64_t operator()(Runtime& runtime, uint32_t) const {
    return join_step(
        runtime, links,
        [this](JoinIndex<PyValue>::Side side, const std::vector<Delta<PyValue>>& batch) {
          PyObject* key_fn =
              side == JoinIndex<PyValue>::Side::Left ? left_key.get() : right_key.get();
          return keys_of_deltas(key_fn, batch, false);
        });
  }

  void visit_held(HeldVisitor& visitor) const {
    ValueVisitor<PyValue>* values = python_values(visitor);
    if (values == nullptr) return;
    offer_shared(*values, links.left.state);
    offer_shared(*values, links.right.state);
    offer_shared(*values, links.index);
    offer_shared(*values, links.pairs);
    values->visit(left_key);
    values->visit(right_key);
  }
};

struct TupleOperator {
  SourceLink<Pair> pairs;
  std::shared_ptr<CollectionState<PyValue>> output;
  std::shared_ptr<BuiltObjects<Pair>> tuples;

  uint64_t operator()(Runtime& runtime, uint32_t) const {
    return consume_deltas(runtime, pairs, *output, [this](std::vector<Delta<Pair>>& batch) {
      GilEnsure gil;
      std::vector<Delta<PyValue>> changes = tuples->translate(batch, tuple_of);
      batch.clear();
      return changes;
    });
  }

  void visit_held(HeldVisitor& visitor) const {
    if (ValueVisitor<PyValue>* values = python_values(visitor)) {
      offer_shared(*values, pairs.state);
      offer_shared(*values, output);
      offer_shared(*values, tuples);
    }
  }
};

struct RouterOperator {
  SourceLink<PyValue> source;
  std::shared_ptr<GroupTables<PyValue>> tables;
  PyValue key_fn;

  uint64_t operator()(Runtime& runtime, uint32_t) const {
    return route_step(runtime, source, *tables, [this](const std::vector<Delta<PyValue>>& batch) {
      return keys_of_deltas(key_fn.get(), batch, true);
    });
  }

  void visit_held(HeldVisitor& visitor) const {
    ValueVisitor<PyValue>* values = python_values(visitor);
    if (values == nullptr) return;
    offer_shared(*values, source.state);
    if (values->first_visit(tables.get())) {
      tables->for_each_value([values](const PyValue& v) { values->visit(v); });
      for (const auto& group : tables->groups) offer_shared(*values, group.second.state);
    }
    values->visit(key_fn);
  }
};

}  // namespace

std::vector<PyValue> keys_of(PyObject* key_fn, const std::vector<PyValue>& elements) {
  std::vector<PyValue> keys;
  keys.reserve(elements.size());
  for (size_t i = 0; i < elements.size(); ++i) {
    prefetch_ahead(elements, i);
    keys.push_back(call_with(key_fn, elements[i]));
  }
  return keys;
}

std::vector<PyValue> keys_of_deltas(PyObject* key_fn, const std::vector<Delta<PyValue>>& batch,
                                    bool inserts_only) {
  std::vector<PyValue> keys;
  keys.reserve(batch.size());
  GilEnsure gil;
  for (const Delta<PyValue>& delta : batch) {
    if (inserts_only && delta.kind != DeltaKind::Insert) continue;
    keys.push_back(call_with(key_fn, delta.element));
  }
  return keys;
}

CollectionHandle<PyValue> build_join(Runtime& runtime, const CollectionHandle<PyValue>& left,
                                     const CollectionHandle<PyValue>& right, PyObject* left_key,
                                     PyObject* right_key) {
  using Side = JoinIndex<PyValue>::Side;
  auto [left_link, left_snapshot] = subscribe(left);
  auto [right_link, right_snapshot] = subscribe(right);
  const std::vector<PyValue> left_keys = keys_of(left_key, left_snapshot);
  const std::vector<PyValue> right_keys = keys_of(right_key, right_snapshot);
  JoinLinks<PyValue> links{
      std::move(left_link), std::move(right_link), std::make_shared<JoinIndex<PyValue>>(),
      std::make_shared<PairState<PyValue>>(Matching::Value, Contents::LogOnly)};
  {
    CollectionWriteGuard index_guard(links.index->lock());
    CollectionWriteGuard pairs_guard(links.pairs->lock());
    for (size_t i = 0; i < left_snapshot.size(); ++i) {
      links.index->apply(Side::Left, DeltaKind::Insert, left_snapshot[i], left_keys[i],
                         *links.pairs);
    }
    for (size_t i = 0; i < right_snapshot.size(); ++i) {
      links.index->apply(Side::Right, DeltaKind::Insert, right_snapshot[i], right_keys[i],
                         *links.pairs);
    }
  }
  auto pairs = links.pairs;
  const Velk<uint64_t> join_node = create_operator<uint64_t>(
      runtime,
      JoinOperator{std::move(links), PyValue::new_ref(left_key), PyValue::new_ref(right_key)},
      {ErasedVelk(left.version_node), ErasedVelk(right.version_node)}, pairs);

  return build_tuple_stage(runtime, pairs, join_node);
}

CollectionHandle<PyValue> build_tuple_stage(Runtime& runtime,
                                            const std::shared_ptr<PairState<PyValue>>& pairs,
                                            Velk<uint64_t> pair_node) {
  CollectionHandle<Pair> pair_collection{pairs, pair_node, true};
  auto [pair_link, pair_snapshot] = subscribe(pair_collection);
  auto tuples = std::make_shared<BuiltObjects<Pair>>();
  CollectionHandle<PyValue> output;
  output.state =
      seeded_output(tuples->seed(std::move(pair_snapshot), tuple_of), Matching::Identity);
  output.derived = true;
  output.version_node = create_operator<uint64_t>(
      runtime, TupleOperator{std::move(pair_link), output.state, std::move(tuples)},
      {ErasedVelk(pair_node)}, output.state);
  return output;
}

GroupedHandle build_group_by(Runtime& runtime, const CollectionHandle<PyValue>& source,
                             PyObject* key_fn) {
  auto [link, snapshot] = subscribe(source);
  auto tables = std::make_shared<GroupTables<PyValue>>();
  std::vector<PyValue> keys = keys_of(key_fn, snapshot);
  {
    CollectionWriteGuard groups_guard(tables->groups_lock);
    CollectionWriteGuard keys_guard(tables->keys_lock);
    tables->seed(runtime, snapshot, keys);
  }
  const Velk<uint64_t> router = create_operator<uint64_t>(
      runtime, RouterOperator{std::move(link), tables, PyValue::new_ref(key_fn)},
      {ErasedVelk(source.version_node)}, tables);
  CollectionWriteGuard groups_guard(tables->groups_lock);
  tables->record_router(ErasedVelk(router));
  for (const auto& [key, group] : tables->groups) {
    runtime.adopt(ErasedVelk(router), ErasedVelk(group.version_node));
  }
  return GroupedHandle{std::move(tables), router};
}

}  // namespace velk::py
