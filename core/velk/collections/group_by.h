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
    std::vector<Routed> dropped_changes;
    CollectionWriteGuard groups_guard(groups_lock);
    CollectionWriteGuard keys_guard(keys_lock);
    mark_retired();
    dropped_groups.swap(groups);
    dropped_keys.swap(element_keys);
    dropped_changes.swap(unapplied);
    routed_index.clear();
  }

  // Requires groups_lock (either mode).
  void check_live() const {
    if (retired()) fail(kDeletedCollectionMessage);
  }

  // Changes routed through the tables but not yet applied to their group, by group state,
  // in the order each was first reached: a batch goes into each group with one hold of its
  // lock. Guarded by keys_lock.
  struct Routed {
    Group* group;
    CollectionHandle<E> handle;  // the group's state when its first change was routed
    std::vector<Delta<E>> changes;
  };
  std::vector<Routed> unapplied;

  // Require groups_lock and keys_lock (write). Each files one change whole or not at all, for
  // apply_routed: every lookup (user code, which may throw) comes before the first change. A
  // Delete goes to the key its occurrence was filed under (the key function may answer
  // differently by now); one of an element not filed is ignored.
  void route_insert(Runtime& runtime, E element, E key) {
    auto [group, new_group] = groups.try_emplace(key);
    // A group its user deleted is replaced by a fresh one.
    const bool fresh = new_group || group->second.state->retired();
    std::optional<CollectionHandle<E>> replaced;
    std::optional<typename ElementMap<E, OccurrenceList<E>>::iterator> filed;
    bool new_element = false;
    try {
      std::tie(filed, new_element) = element_keys.try_emplace(element);
      if (fresh) {
        if (!new_group) replaced = std::move(group->second);
        group->second = CollectionHandle<E>{};
        group->second.state = std::make_shared<CollectionState<E>>();
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
    (*filed)->second.push_back(std::move(key));
    routed_to(&*group).push_back(Delta<E>{DeltaKind::Insert, std::move(element)});
  }

  // Room for `more` filed elements, grown geometrically as ElementCounts::reserve does.
  void reserve_keys(size_t more) {
    const size_t needed = element_keys.size() + more;
    if (double(needed) > double(element_keys.bucket_count()) * element_keys.max_load_factor()) {
      element_keys.reserve(std::max(needed, 2 * element_keys.size()));
    }
  }

  void route_delete(E element) {
    auto filed = element_keys.find(element);
    if (filed == element_keys.end()) return;
    auto group = groups.find(filed->second.back());
    if (group == groups.end()) return;  // not reached: a filed key has its group
    filed->second.pop_back();
    if (filed->second.empty()) element_keys.erase(filed);
    routed_to(&*group).push_back(Delta<E>{DeltaKind::Delete, std::move(element)});
  }

  // Requires keys_lock (write). Applies the routed changes, each group's under one hold of its
  // lock and all or none of them (a group its user deleted drops them, as it dropped its
  // elements), and sets the version node of each group changed. A group whose lookups throw
  // keeps its changes, and those of the groups after it, for the next call: they are filed
  // already, so the tables stay as the changes routed say.
  void apply_routed(Runtime& runtime) {
    size_t done = 0;
    try {
      for (; done < unapplied.size(); ++done) {
        Routed& routed = unapplied[done];
        CollectionState<E>& state = *routed.handle.state;
        std::optional<uint64_t> version;
        {
          CollectionWriteGuard guard(state.lock());
          if (!state.retired() && state.apply(routed.changes)) version = state.version();
        }
        routed.changes.clear();  // moved from, or dropped with a deleted group
        if (version) runtime.set(routed.handle.version_node, *version);
      }
    } catch (...) {
      unapplied.erase(unapplied.begin(), unapplied.begin() + ptrdiff_t(done));
      routed_index.clear();
      for (size_t i = 0; i < unapplied.size(); ++i) {
        routed_index.emplace(unapplied[i].handle.state.get(), i);
      }
      throw;
    }
  }

  // Requires groups_lock (write) and applied changes. Reclaims the groups reached since the
  // last call that are now unused, and every unused group once the count has doubled since the
  // last sweep (amortised O(1) per group).
  void reclaim_unused(Runtime& runtime) {
    std::vector<Group*> reached;
    reached.reserve(unapplied.size());
    for (const Routed& routed : unapplied) reached.push_back(routed.group);
    unapplied.clear();  // its copies of the handles would count as holders
    routed_index.clear();
    for (Group* group : reached) {
      // Looked up (hashing the key again) only to erase: most groups reached stay. One reached
      // twice (its state replaced meanwhile) is found gone the second time.
      auto entry = groups.find(group->first);
      if (entry != groups.end() && &*entry == group && reclaim(runtime, entry->second)) {
        groups.erase(entry);
      }
    }
    if (groups.size() < 2 * swept_size + 64) return;
    std::erase_if(groups, [&](const auto& entry) { return reclaim(runtime, entry.second); });
    swept_size = groups.size();
  }

  // Requires both write locks and empty tables. Routes the contents a new group_by starts
  // from: every lookup (user code) first, then each group is filled, created and signalled
  // once, in the order its key first appears. The keys move into the tables.
  void seed(Runtime& runtime, std::vector<E>& elements, std::vector<E>& keys) {
    std::vector<std::pair<Group*, std::vector<E>>> batches;
    std::unordered_map<Group*, size_t> batch_of;
    element_keys.reserve(elements.size());
    {
      [[maybe_unused]] ValueBatchScope<E> values;  // one hold for the copies and lookups
      for (size_t i = 0; i < elements.size(); ++i) {
        prefetch_ahead(elements, i);
        Group* group = &*groups.try_emplace(keys[i]).first;
        element_keys.try_emplace(elements[i]).first->second.push_back(std::move(keys[i]));
        auto [at, fresh] = batch_of.try_emplace(group, batches.size());
        if (fresh) batches.emplace_back(group, std::vector<E>{});
        batches[at->second].second.push_back(std::move(elements[i]));
      }
    }
    for (auto& [group, members] : batches) {
      CollectionHandle<E>& handle = group->second;
      handle.state = std::make_shared<CollectionState<E>>();
      {
        CollectionWriteGuard guard(handle.state->lock());
        [[maybe_unused]] ValueBatchScope<E> values;
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

  // The keys and filed elements; not the groups' states, which their holders share and offer
  // (for HeldVisitor; no lock taken).
  template <class Visit>
  void for_each_value(Visit&& visit) const {
    for (const auto& entry : groups) visit(entry.first);
    for (const auto& [element, keys] : element_keys) {
      visit(element);
      for (const E& key : keys) visit(key);
    }
    for (const Routed& routed : unapplied) {
      for (const Delta<E>& change : routed.changes) visit(change.element);
    }
  }

  void record_router(ErasedVelk handle) {
    if (router) fail("group_by router recorded twice " + handle.debug());
    router = handle;
  }

 private:
  // The changes routed to the group's current state (its entry in unapplied, made on the
  // first). A state, not the entry, names them: a replaced group's changes stay its own.
  std::vector<Delta<E>>& routed_to(Group* group) {
    CollectionState<E>* state = group->second.state.get();
    auto [at, first] = routed_index.try_emplace(state, unapplied.size());
    if (first) unapplied.push_back(Routed{group, group->second, {}});
    return unapplied[at->second].changes;
  }

  std::unordered_map<const CollectionState<E>*, size_t> routed_index;  // into unapplied

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
// applied and the cursor does not move. A lookup that throws while filing stops the batch
// there: the cursor moves past the deltas filed, which go into their groups. Each group
// changed is signalled once. Returns the router's new version.
template <class E, class Keys>
uint64_t route_step(Runtime& runtime, const SourceLink<E>& source, GroupTables<E>& tables,
                    Keys&& keys) {
  runtime.get(source.version_node);
  auto [position, batch] = copy_new_deltas(source);
  if (batch.empty()) {
    CollectionReadGuard guard(tables.keys_lock);  // changes left by a failed run go in now
    // lock-free: raised only by the router's computation, which runs here under its claim.
    if (tables.unapplied.empty()) return tables.router_version.load(std::memory_order_acquire);
  }
  std::vector<E> insert_keys = keys(batch);
  CollectionWriteGuard groups_guard(tables.groups_lock);
  CollectionWriteGuard keys_guard(tables.keys_lock);
  tables.check_live();
  if (!tables.router) fail("group_by router ran before its handle was recorded");
  [[maybe_unused]] ValueBatchScope<E> values;
  tables.reserve_keys(insert_keys.size());
  size_t routed = 0, next_key = 0;
  try {
    for (; routed < batch.size(); ++routed) {
      Delta<E>& delta = batch[routed];
      if (delta.kind == DeltaKind::Delete) {
        tables.route_delete(std::move(delta.element));
      } else if (next_key < insert_keys.size()) {
        tables.route_insert(runtime, std::move(delta.element), std::move(insert_keys[next_key++]));
      } else {
        fail("insert delta staged without key");
      }
    }
  } catch (...) {
    source.cursor->store(position + routed);
    tables.apply_routed(runtime);
    throw;
  }
  source.cursor->store(position + batch.size());
  tables.apply_routed(runtime);
  const uint64_t version = tables.router_version.fetch_add(1, std::memory_order_acq_rel) + 1;
  tables.reclaim_unused(runtime);
  return version;
}

}  // namespace velk
