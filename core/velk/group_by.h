// Group-by: one router node consumes a collection's deltas and routes each change to the
// collection of its key, creating groups as new keys appear. Each group's version node is an
// input that the router sets, owned by the router so that deleting it deletes them.
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
struct GroupTables {
  mutable CollectionLock groups_lock;
  std::unordered_map<E, CollectionHandle<E>, ElementHash<E>, ElementEqual<E>> groups;  // only grows
  mutable CollectionLock keys_lock;
  // The key of each occurrence present, in insertion order; the entry goes with the last one.
  std::unordered_map<E, std::vector<E>, ElementHash<E>, ElementEqual<E>> element_keys;
  std::atomic<uint64_t> router_version{0};
  std::optional<ErasedVelk> router;  // set once, right after the router node is created

  // Requires groups_lock (write). The group of `key`, created (and owned by the router, once it
  // exists) when absent.
  CollectionHandle<E>& group_of(Runtime& runtime, const E& key) {
    auto it = groups.find(key);
    if (it != groups.end()) return it->second;
    CollectionHandle<E> group = create_collection_node<E>(runtime, true);
    if (router) runtime.adopt(*router, ErasedVelk(group.version_node));
    return groups.emplace(key, std::move(group)).first->second;
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
  source.cursor->store(position + batch.size());
  return tables.router_version.fetch_add(1, std::memory_order_acq_rel) + 1;
}

}  // namespace velk
