// Creating and mutating collections, and the protocol every operator follows: subscribe to a
// source (cursor + snapshot), seed an output, then in each computation consume the deltas
// logged since the cursor. An operator is a policy on top of consume_deltas.
#pragma once

#include <string>

#include "velk/collections/collection.h"
#include "velk/runtime/engine_steps.h"
#include "velk/runtime/runtime.h"

namespace velk {

inline constexpr const char* kDerivedMutationMessage =
    "velk-core: insert/delete on a derived collection; derived collections are maintained by "
    "their operator, mutate the source collection instead";

// An empty collection whose version node is a u64 input at 0, retired with it. Allowed inside
// a compute.
template <class E>
CollectionHandle<E> create_collection_node(Runtime& runtime, bool derived) {
  CollectionHandle<E> handle;
  handle.state = std::make_shared<CollectionState<E>>();
  handle.version_node = EngineSteps::create_input_node<uint64_t>(runtime, 0);
  handle.derived = derived;
  EngineSteps::retire_with(runtime, ErasedVelk(handle.version_node), handle.state);
  return handle;
}

// An operator node that reads `sources` (recorded before its first run, so that deleting one
// deletes it) and retires its output state, if it has one, with it.
template <class T, class Op>
Velk<T> create_operator(Runtime& runtime, Op op, std::initializer_list<ErasedVelk> sources,
                        std::weak_ptr<Retirable> output = {}) {
  const Velk<T> node = runtime.create_query<T>(std::move(op), sources);
  if (!output.expired()) EngineSteps::retire_with(runtime, ErasedVelk(node), std::move(output));
  return node;
}

template <class E>
void collection_insert(Runtime& runtime, const CollectionHandle<E>& c, E element) {
  if (c.derived) fail(kDerivedMutationMessage);
  // The version node is set under the lock, so concurrent mutators publish their versions in
  // log order and the node never goes back. Setting runs no user code and takes no collection
  // lock.
  CollectionWriteGuard guard(c.state->lock());
  c.state->check_live();
  runtime.set(c.version_node, c.state->insert(std::move(element)));
}

template <class E>
bool collection_remove(Runtime& runtime, const CollectionHandle<E>& c, const E& element) {
  if (c.derived) fail(kDerivedMutationMessage);
  CollectionWriteGuard guard(c.state->lock());  // held for the set, as in collection_insert
  c.state->check_live();
  const std::pair<bool, uint64_t> removed = c.state->remove(element);
  if (removed.first) runtime.set(c.version_node, removed.second);
  return removed.first;
}

// Inserts or deletes a batch as one change: one lock acquisition, one version step, one delta
// batch for the operators. All or none: an interruption in a lookup (user hash or ==) leaves
// the collection as it was. Returns the number of changes that took effect (deletes of
// elements not held take none).
template <class E>
uint64_t collection_apply(Runtime& runtime, const CollectionHandle<E>& c,
                          std::vector<Delta<E>>& changes) {
  if (c.derived) fail(kDerivedMutationMessage);
  CollectionWriteGuard guard(c.state->lock());  // held for the set, as in collection_insert
  c.state->check_live();
  const uint64_t before = c.state->version();
  {
    // One interpreter-lock hold for the batch's hashes and compares, dropped before the set,
    // which may wait.
    [[maybe_unused]] ValueBatchScope<E> values;
    if (!c.state->apply(changes)) return 0;
  }
  runtime.set(c.version_node, c.state->version());
  return c.state->version() - before;
}

template <class E>
uint64_t collection_size(const CollectionState<E>& state) {
  CollectionReadGuard guard(state.lock());
  state.check_live();
  return state.size();
}

template <class E>
uint64_t collection_version(const CollectionState<E>& state) {
  CollectionReadGuard guard(state.lock());
  return state.version();
}

// An operator's link to its source: the state, the registered cursor and the version node.
template <class E>
struct SourceLink {
  std::shared_ptr<CollectionState<E>> state;
  std::shared_ptr<DeltaCursor> cursor;
  Velk<uint64_t> version_node;
};

// Subscribes to `source`; the cursor starts exactly at the end of the log the snapshot reflects.
template <class E>
std::pair<SourceLink<E>, std::vector<E>> subscribe(const CollectionHandle<E>& source) {
  std::pair<std::shared_ptr<DeltaCursor>, std::vector<E>> subscribed;
  {
    CollectionWriteGuard guard(source.state->lock());
    source.state->check_live();
    subscribed = source.state->subscribe();
  }
  return {SourceLink<E>{source.state, std::move(subscribed.first), source.version_node},
          std::move(subscribed.second)};
}

// A fresh output state holding `seed`, at the version of one Insert per element.
template <class E>
std::shared_ptr<CollectionState<E>> seeded_output(std::vector<E> seed,
                                                  Matching matching = Matching::Value) {
  auto output = std::make_shared<CollectionState<E>>(matching);
  CollectionWriteGuard guard(output->lock());
  [[maybe_unused]] ValueBatchScope<E> values;
  output->seed(std::move(seed));
  return output;
}

// The deltas logged since the cursor, copied under the source's read lock, and the cursor
// position they start at. The caller advances the cursor once it has applied them.
template <class E>
struct NewDeltas {
  uint64_t position;
  std::vector<Delta<E>> batch;
};

template <class E>
NewDeltas<E> copy_new_deltas(const SourceLink<E>& source) {
  NewDeltas<E> out{source.cursor->load(), {}};
  CollectionReadGuard guard(source.state->lock());
  if (out.position < source.state->log_end()) {
    [[maybe_unused]] ValueBatchScope<E> values;  // copies of values
    out.batch = source.state->deltas_since(out.position);
  }
  return out;
}

// One computation of an operator node: reads the source's version node (recording the
// dependency and bringing a derived source up to date), copies the deltas since the cursor,
// lets `transform(batch) -> std::vector<Delta<Out>>` turn them into output changes (user code
// runs here, with no collection lock held), then applies them and advances the cursor.
// Returns the output's version. A transform or a lookup that throws leaves output and cursor
// untouched, so the same deltas are retried at the next computation. The source's and the
// output's locks are never held together.
template <class In, class Out, class Transform>
uint64_t consume_deltas(Runtime& runtime, const SourceLink<In>& source,
                        CollectionState<Out>& output, Transform&& transform) {
  runtime.get(source.version_node);
  auto [position, batch] = copy_new_deltas(source);
  if (batch.empty()) return collection_version(output);
  const uint64_t end = position + batch.size();  // before the transform, which may empty batch
  std::vector<Delta<Out>> changes = transform(batch);
  CollectionWriteGuard guard(output.lock());
  [[maybe_unused]] ValueBatchScope<Out> values;
  output.apply(changes);
  source.cursor->store(end);
  return output.version();
}

}  // namespace velk
