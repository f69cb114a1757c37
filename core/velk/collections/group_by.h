// Group-by: one router node consumes a collection's deltas and routes each change to the
// collection of its key, creating groups as new keys appear. Each group's version node is an
// input that the router sets, owned by the router so that deleting it deletes them.
//
// Keys that come and go (timestamps, order ids) would otherwise leave a node per key behind: a
// group that is empty and unused (no holder of its state but the tables, no node reading its
// version) is deleted by the router run that empties it, or by the sweep that follows a
// doubling of the group count, which finds the groups emptied while held and released since.
//
// Lock order: groups, then element_keys, then one group at a time; the source's lock only
// while copying deltas.
#pragma once

#include <atomic>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "velk/collections/collection_ops.h"
#include "velk/collections/occurrence_list.h"

namespace velk {

template <class E>
struct GroupTables final : public Retirable {
  using GroupMap = ElementMap<E, CollectionHandle<E>>;
  using Group = typename GroupMap::value_type;

  mutable CollectionLock groups_lock;
  GroupMap groups;        // guarded by groups_lock
  size_t swept_size = 0;  // guarded by groups_lock: the group count after the last sweep
  mutable CollectionLock keys_lock;
  // The key of each occurrence present, in insertion order; the entry goes with the last one.
  ElementMap<E, OccurrenceList<E>> element_keys;
  std::atomic<uint64_t> router_version{0};
  std::optional<ErasedVelk> router;  // set once, right after the router node is created

  // With the router: the groups went first (owned), this drops the tables after the locks.
  void retire() override {
    GroupMap dropped_groups;
    ElementMap<E, OccurrenceList<E>> dropped_keys;
    CollectionWriteGuard groups_guard(groups_lock);
    CollectionWriteGuard keys_guard(keys_lock);
    mark_retired();
    dropped_groups.swap(groups);
    dropped_keys.swap(element_keys);
  }

  // Requires groups_lock (either mode).
  void check_live() const {
    if (retired()) fail(kDeletedCollectionMessage);
  }

  // Require groups_lock and keys_lock (write). Each routes one change whole or not at all:
  // every lookup (user code, which may throw) comes before the first change. A Delete goes to
  // the key its occurrence was filed under (the key function may answer differently by now);
  // one of an element not filed is ignored. Returns the group changed and its new version.
  using Routed = std::optional<std::pair<Group*, uint64_t>>;

  Routed route_insert(Runtime& runtime, E element, const E& key) {
    auto [group, new_group] = groups.try_emplace(key);
    // A group its user deleted is replaced by a fresh one.
    const bool fresh = new_group || group->second.state->retired();
    std::optional<CollectionHandle<E>> replaced;
    std::optional<typename ElementMap<E, OccurrenceList<E>>::iterator> filed;
    bool new_element = false;
    uint64_t version;
    try {
      std::tie(filed, new_element) = element_keys.try_emplace(element);
      if (fresh) {
        if (!new_group) replaced = std::move(group->second);
        group->second = CollectionHandle<E>{};
        group->second.state = std::make_shared<CollectionState<E>>();
      }
      {
        CollectionWriteGuard guard(group->second.state->lock());
        version = group->second.state->insert(std::move(element));
      }
      // A fresh group's node comes last, so nothing can fail after it: the group is erased
      // whole (its state and node unseen by anyone) when anything before fails.
      if (fresh) create_group_node(runtime, group->second);
    } catch (...) {
      if (new_element) element_keys.erase(*filed);
      if (new_group) groups.erase(group);
      if (replaced) group->second = std::move(*replaced);
      throw;
    }
    (*filed)->second.push_back(key);
    return std::pair{&*group, version};
  }

  Routed route_delete(const E& element) {
    auto filed = element_keys.find(element);
    if (filed == element_keys.end()) return std::nullopt;
    auto group = groups.find(filed->second.back());
    if (group == groups.end()) return std::nullopt;  // not reached: a filed key has its group
    std::pair<bool, uint64_t> removed{false, 0};
    if (!group->second.state->retired()) {  // else its user deleted it, elements and all
      CollectionWriteGuard guard(group->second.state->lock());
      removed = group->second.state->remove(element);
    }
    filed->second.pop_back();
    if (filed->second.empty()) element_keys.erase(filed);
    if (!removed.first) return std::nullopt;
    return std::pair{&*group, removed.second};
  }

  // Requires both write locks and empty tables. Routes the contents a new group_by starts
  // from: every lookup (user code) first, then each group is filled, created and signalled
  // once, in the order its key first appears.
  void seed(Runtime& runtime, std::vector<E>& elements, const std::vector<E>& keys) {
    std::vector<std::pair<Group*, std::vector<E>>> batches;
    std::unordered_map<Group*, size_t> batch_of;
    element_keys.reserve(elements.size());
    for (size_t i = 0; i < elements.size(); ++i) {
      prefetch_ahead(elements, i);
      element_keys.try_emplace(elements[i]).first->second.push_back(keys[i]);
      Group* group = &*groups.try_emplace(keys[i]).first;
      auto [at, fresh] = batch_of.try_emplace(group, batches.size());
      if (fresh) batches.emplace_back(group, std::vector<E>{});
      batches[at->second].second.push_back(std::move(elements[i]));
    }
    for (auto& [group, members] : batches) {
      CollectionHandle<E>& handle = group->second;
      handle.state = std::make_shared<CollectionState<E>>();
      {
        CollectionWriteGuard guard(handle.state->lock());
        handle.state->seed(std::move(members));
      }
      create_group_node(runtime, handle);
      runtime.set(handle.version_node, collection_version(*handle.state));
    }
  }

  // Requires groups_lock (write), held by the router's compute, the only writer of groups:
  // a state held by the map alone gains no holder meanwhile, as get_group takes the lock.
  // Deletes the group's version node and returns true when the group is empty and unused.
  bool reclaim(Runtime& runtime, const CollectionHandle<E>& group) {
    if (group.state.use_count() != 1) return false;
    if (!runtime.is_alive(ErasedVelk(group.version_node))) return true;  // deleted by its user
    if (collection_size(*group.state) != 0) return false;
    if (!EngineSteps::dependents_of(runtime, group.version_node.slot).empty()) return false;
    runtime.delete_node(group.version_node);
    return true;
  }

  // Requires groups_lock (write). Reclaims the touched groups now unused, and every unused
  // group once the count has doubled since the last sweep (amortised O(1) per group).
  template <class Touched>
  void reclaim_unused(Runtime& runtime, const Touched& touched) {
    for (const auto& entry : touched) {
      // Looked up (hashing the key again) only to erase: most touched groups stay.
      if (reclaim(runtime, entry.first->second)) groups.erase(groups.find(entry.first->first));
    }
    if (groups.size() < 2 * swept_size + 64) return;
    std::erase_if(groups, [&](const auto& entry) { return reclaim(runtime, entry.second); });
    swept_size = groups.size();
  }

  // The keys and filed elements; not the groups' states, which their holders share and offer
  // (for HeldVisitor; no lock taken).
  template <class Visit>
  void for_each_value(Visit&& visit) const {
    for (const auto& entry : groups) visit(entry.first);
    for (const auto& [element, keys] : element_keys) {
      visit(element);
      for (const E& key : keys) visit(key);
    }
  }

  void record_router(ErasedVelk handle) {
    if (router) fail("group_by router recorded twice " + handle.debug());
    router = handle;
  }

 private:
  // The version node of a group just filled, retired with its state and owned by the router
  // once it exists.
  void create_group_node(Runtime& runtime, CollectionHandle<E>& group) {
    group.version_node = EngineSteps::create_input_node<uint64_t>(runtime, 0);
    group.derived = true;
    EngineSteps::retire_with(runtime, ErasedVelk(group.version_node), group.state);
    if (router) runtime.adopt(*router, ErasedVelk(group.version_node));
  }
};

// One computation of the router. `keys(batch)` returns the keys of the batch's Insert deltas,
// in order (user code runs there, with no collection lock held); if it throws nothing is
// applied and the cursor does not move. A lookup that throws stops the batch there: the cursor
// moves past the deltas routed, whose groups are signalled. Returns the router's new version.
template <class E, class Keys>
uint64_t route_step(Runtime& runtime, const SourceLink<E>& source, GroupTables<E>& tables,
                    Keys&& keys) {
  runtime.get(source.version_node);
  auto [position, batch] = copy_new_deltas(source);
  // lock-free: raised only by the router's computation, which runs here under its claim.
  if (batch.empty()) return tables.router_version.load(std::memory_order_acquire);
  const std::vector<E> insert_keys = keys(batch);
  CollectionWriteGuard groups_guard(tables.groups_lock);
  CollectionWriteGuard keys_guard(tables.keys_lock);
  tables.check_live();
  if (!tables.router) fail("group_by router ran before its handle was recorded");
  [[maybe_unused]] ValueBatchScope<E> values;
  // Each changed group's latest version, set once per batch (sets run no user code).
  std::unordered_map<typename GroupTables<E>::Group*, uint64_t> logged;
  auto signal_groups = [&] {
    for (const auto& [group, version] : logged) runtime.set(group->second.version_node, version);
  };
  size_t routed = 0, next_key = 0;
  try {
    for (; routed < batch.size(); ++routed) {
      Delta<E>& delta = batch[routed];
      typename GroupTables<E>::Routed change;
      if (delta.kind == DeltaKind::Delete) {
        change = tables.route_delete(delta.element);
      } else if (next_key < insert_keys.size()) {
        change = tables.route_insert(runtime, std::move(delta.element), insert_keys[next_key++]);
      } else {
        fail("insert delta staged without key");
      }
      if (change) logged[change->first] = change->second;
    }
  } catch (...) {
    signal_groups();
    source.cursor->store(position + routed);
    throw;
  }
  signal_groups();
  source.cursor->store(position + batch.size());
  const uint64_t version = tables.router_version.fetch_add(1, std::memory_order_acq_rel) + 1;
  tables.reclaim_unused(runtime, logged);
  return version;
}

}  // namespace velk
