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
#include <unordered_map>
#include <vector>

#include "velk/collection_ops.h"

namespace velk {

template <class E>
struct GroupTables final : public Retirable {
  using GroupMap = std::unordered_map<E, CollectionHandle<E>, ElementHash<E>, ElementEqual<E>>;

  mutable CollectionLock groups_lock;
  GroupMap groups;         // guarded by groups_lock
  size_t swept_size = 0;   // guarded by groups_lock: the group count after the last sweep
  mutable CollectionLock keys_lock;
  // The key of each occurrence present, in insertion order; the entry goes with the last one.
  std::unordered_map<E, std::vector<E>, ElementHash<E>, ElementEqual<E>> element_keys;
  std::atomic<uint64_t> router_version{0};
  std::optional<ErasedVelk> router;  // set once, right after the router node is created

  // With the router: the groups went first (owned), this drops the tables after the locks.
  void retire() override {
    GroupMap dropped_groups;
    std::unordered_map<E, std::vector<E>, ElementHash<E>, ElementEqual<E>> dropped_keys;
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

  // Requires groups_lock (write). The group of `key`, created (and owned by the router, once it
  // exists) when absent or deleted by its user.
  CollectionHandle<E>& group_of(Runtime& runtime, const E& key) {
    auto it = groups.find(key);
    if (it != groups.end() && !it->second.state->retired()) return it->second;
    CollectionHandle<E> group = create_collection_node<E>(runtime, true);
    if (router) runtime.adopt(*router, ErasedVelk(group.version_node));
    if (it != groups.end()) return it->second = std::move(group);
    return groups.emplace(key, std::move(group)).first->second;
  }

  // Requires groups_lock (write), held by the router's compute, the only writer of groups:
  // a state held by the map alone gains no holder meanwhile, as get_group takes the lock.
  // Deletes the group's version node and returns true when the group is empty and unused.
  bool reclaim(Runtime& runtime, const CollectionHandle<E>& group) {
    if (group.state.use_count() != 1) return false;
    if (!runtime.is_alive(ErasedVelk(group.version_node))) return true;  // deleted by its user
    if (collection_size(*group.state) != 0) return false;
    if (!runtime.dependents_of(group.version_node.slot).empty()) return false;
    runtime.delete_node(group.version_node);
    return true;
  }

  // Requires groups_lock (write). Reclaims the touched groups now unused, and every unused
  // group once the count has doubled since the last sweep (amortised O(1) per group).
  template <class Keys>
  void reclaim_unused(Runtime& runtime, const Keys& touched) {
    for (const auto& entry : touched) {
      auto it = groups.find(entry.first);
      if (it != groups.end() && reclaim(runtime, it->second)) groups.erase(it);
    }
    if (groups.size() < 2 * swept_size + 64) return;
    std::erase_if(groups, [&](const auto& entry) { return reclaim(runtime, entry.second); });
    swept_size = groups.size();
  }

  // Requires keys_lock (write).
  void file(const E& element, const E& key) { element_keys[element].push_back(key); }

  // Requires keys_lock (write). The key a Delete goes to: the one an occurrence was filed under
  // (the key function may answer differently by now), or none if the element is absent.
  std::optional<E> unfile(const E& element) {
    auto it = element_keys.find(element);
    if (it == element_keys.end()) return std::nullopt;
    E key = std::move(it->second.back());
    it->second.pop_back();
    if (it->second.empty()) element_keys.erase(it);
    return key;
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
};

// Applies `changes` to one group and, if anything was logged, sets its version node.
template <class E>
void apply_to_group(Runtime& runtime, const CollectionHandle<E>& group,
                    std::vector<Delta<E>>& changes) {
  std::optional<uint64_t> logged;
  {
    CollectionWriteGuard guard(group.state->lock());
    for (Delta<E>& change : changes) {
      if (change.kind == DeltaKind::Insert) {
        logged = group.state->insert(std::move(change.element));
      } else if (auto [found, version] = group.state->remove(change.element); found) {
        logged = version;
      }
    }
  }
  if (logged) runtime.set(group.version_node, *logged);
}

// One computation of the router. `keys(batch)` returns the keys of the batch's Insert deltas,
// in order (user code runs there, with no collection lock held); if it throws nothing is
// applied and the cursor does not move. Returns the router's new version.
template <class E, class Keys>
uint64_t route_step(Runtime& runtime, const SourceLink<E>& source, GroupTables<E>& tables,
                    Keys&& keys) {
  runtime.get(source.version_node);
  auto [position, batch] = copy_new_deltas(source);
  if (batch.empty()) return tables.router_version.load(std::memory_order_acquire);
  const std::vector<E> insert_keys = keys(batch);
  CollectionWriteGuard groups_guard(tables.groups_lock);
  CollectionWriteGuard keys_guard(tables.keys_lock);
  if (!tables.router) fail("group_by router ran before its handle was recorded");
  std::unordered_map<E, std::vector<Delta<E>>, ElementHash<E>, ElementEqual<E>> by_key;
  size_t next_key = 0;
  for (Delta<E>& delta : batch) {
    if (delta.kind == DeltaKind::Insert) {
      if (next_key >= insert_keys.size()) fail("insert delta staged without key");
      const E& key = insert_keys[next_key++];
      tables.file(delta.element, key);
      by_key[key].push_back(std::move(delta));
    } else if (std::optional<E> key = tables.unfile(delta.element)) {
      by_key[*key].push_back(std::move(delta));
    }
  }
  for (auto& [key, changes] : by_key) apply_to_group(runtime, tables.group_of(runtime, key), changes);
  tables.reclaim_unused(runtime, by_key);
  source.cursor->store(position + batch.size());
  return tables.router_version.fetch_add(1, std::memory_order_acq_rel) + 1;
}

}  // namespace velk
