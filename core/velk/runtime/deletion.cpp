// Deleting nodes while the runtime is in use, and the ownership that makes an operator's
// nodes go with their owner. The swap to Deleted is the point of no return: it is made under
// the structural read lock together with the dependents test, and dependency commits, which
// add dependents, need the write lock, so no dependent can appear in between.
#include <algorithm>
#include <optional>
#include <unordered_set>

#include "velk/base/spin.h"
#include "velk/runtime/runtime.h"

namespace velk {

namespace {

[[noreturn]] void fail_deleted_twice(uint32_t slot) {
  fail("velk-core: node " + std::to_string(slot) + " deleted twice concurrently");
}

void wait_for_generation_change(const NodeRecord& record, uint32_t generation) {
  SpinWait spin;
  // lock-free: the deleting thread raises it under the structural lock; wait until it has.
  while (record.load_generation() == generation) spin.wait();
}

// Owned lists hold each node once; a deletion retires an owner's nodes last-adopted first.
void erase_from_back(std::vector<uint32_t>& list, uint32_t slot) {
  auto it = std::find(list.rbegin(), list.rend(), slot);
  if (it != list.rend()) list.erase(std::next(it).base());
}

struct SlotGeneration {
  uint32_t slot;
  uint32_t generation;
};

}  // namespace

void Runtime::delete_node_erased(ErasedVelk handle, std::string_view type_name) {
  const uint32_t target = handle.slot;
  NodeRecord& record = check_handle(target, handle.generation, handle.runtime_id, type_name);
  if (SharedDepStack::current().contains(this, target)) {
    fail("velk-core: delete_node called from inside node " + std::to_string(target) +
         "'s own compute");
  }
  Backoff backoff;
  for (;;) {
    // lock-free: decided again under the lock, and the swap is a CAS from the state read here.
    if (record.load_generation() != handle.generation) fail_deleted_twice(target);
    const NodeState state = record.load_state();
    if (state == NodeState::Computing || state == NodeState::ComputingDirtied) {
      record.wait_while(state, backoff);  // a compute holds it: delete after the compute ends
      continue;
    }
    if (state == NodeState::Deleted) {
      wait_for_generation_change(record, handle.generation);
      fail_deleted_twice(target);
    }
    std::vector<SlotGeneration> owned;   // collected owned nodes, in collection order
    std::vector<SlotGeneration> waits;   // owned nodes another deletion is taking
    std::vector<uint32_t> retire_owned;  // owned nodes this deletion moved to Deleted
    std::optional<SlotGeneration> busy;  // an owned node being deleted elsewhere: wait, retry
    bool swapped = false;
    {
      std::shared_lock lock(structural_lock_);
      if (record.load_generation() != handle.generation) fail_deleted_twice(target);
      std::vector<uint32_t> work{target};
      while (!work.empty() && !busy) {
        const uint32_t w = work.back();
        work.pop_back();
        if (!structural_.dependents.of(w).empty()) {
          if (w == target) {
            fail("velk-core: delete_node on node " + std::to_string(target) +
                 " which still has dependents; delete downstream nodes first");
          }
          fail("velk-core: delete_node on node " + std::to_string(target) + " whose owned node " +
               std::to_string(w) + " still has dependents; delete downstream nodes first");
        }
        if (w != target) {
          const NodeRecord& r = nodes_.get(w);
          // lock-free: generations change only under the write lock; another deletion may swap
          // the state meanwhile, which the CAS loop below meets.
          const SlotGeneration entry{w, r.load_generation()};
          if (r.load_state() == NodeState::Deleted) {
            busy = entry;
            break;
          }
          owned.push_back(entry);
        }
        if (auto it = structural_.owned.find(w); it != structural_.owned.end()) {
          // Reversed, so `owned` lists each owner's nodes in adoption order and the retirement
          // below, in reverse, takes each from the back of its owner's list.
          work.insert(work.end(), it->second.rbegin(), it->second.rend());
        }
      }
      if (!busy) swapped = record.cas_state(state, NodeState::Deleted);
      if (swapped) {
        for (const SlotGeneration& entry : owned) {
          NodeRecord& r = nodes_.get(entry.slot);
          for (;;) {
            const NodeState s = r.load_state();
            if (s == NodeState::Deleted) {
              waits.push_back(entry);
              break;
            }
            if (r.cas_state(s, NodeState::Deleted)) {
              retire_owned.push_back(entry.slot);
              break;
            }
          }
        }
      }
    }
    if (busy) {
      wait_for_generation_change(nodes_.get(busy->slot), busy->generation);
      continue;
    }
    if (!swapped) continue;  // the state moved on: decide again
    for (const SlotGeneration& entry : waits) {
      wait_for_generation_change(nodes_.get(entry.slot), entry.generation);
    }
    for (auto it = retire_owned.rbegin(); it != retire_owned.rend(); ++it) retire_node(*it);
    retire_node(target);
    return;
  }
}

uint64_t Runtime::delete_with_dependents(ErasedVelk handle) {
  if (SharedDepStack::current().in_compute()) {
    fail("velk-core: delete_with_dependents called during compute; not permitted");
  }
  if (handle.runtime_id != id_) {
    fail(
        "velk-core: delete_with_dependents with a handle from a foreign runtime (handle was "
        "minted by runtime " +
        std::to_string(handle.runtime_id.value) + ", used on runtime " + std::to_string(id_.value) +
        ")");
  }
  std::vector<SlotGeneration> stack{{handle.slot, handle.generation}};
  // Edges left by failed computes can form cycles; a dependent already on the stack is being
  // deleted by this walk and does not hold its dependency back.
  std::unordered_multiset<uint32_t> on_stack{handle.slot};
  auto next_below = [&](uint32_t s) -> std::optional<uint32_t> {
    for (uint32_t d : structural_.dependents.of(s)) {
      if (!on_stack.count(d)) return d;
    }
    if (auto it = structural_.owned.find(s); it != structural_.owned.end()) {
      for (uint32_t d : it->second) {
        if (!on_stack.count(d)) return d;
      }
    }
    return std::nullopt;
  };
  auto pop = [&] {
    on_stack.erase(on_stack.find(stack.back().slot));
    stack.pop_back();
  };
  uint64_t deleted = 0;
  Backoff backoff;
  while (!stack.empty()) {
    const SlotGeneration top = stack.back();
    NodeRecord& record = nodes_.get(top.slot);
    {
      std::shared_lock lock(structural_lock_);
      if (record.load_generation() != top.generation) {
        lock.unlock();
        pop();
        continue;
      }
      if (const auto below = next_below(top.slot)) {
        stack.push_back({*below, nodes_.get(*below).load_generation()});
        on_stack.insert(*below);
        continue;
      }
    }
    // Nothing is left below: delete the top alone.
    // lock-free: state and generation are checked again under the lock, and the swap is a CAS.
    const NodeState state = record.load_state();
    if (record.load_generation() != top.generation) {
      pop();
      continue;
    }
    if (state == NodeState::Computing || state == NodeState::ComputingDirtied) {
      record.wait_while(state, backoff);
      continue;
    }
    if (state == NodeState::Deleted) {
      wait_for_generation_change(record, top.generation);
      pop();
      continue;
    }
    bool swapped = false;
    {
      std::shared_lock lock(structural_lock_);
      if (record.load_generation() != top.generation) {
        lock.unlock();
        pop();
        continue;
      }
      if (next_below(top.slot)) continue;  // it gained a dependent meanwhile: walk it first
      swapped = record.cas_state(state, NodeState::Deleted);
    }
    if (!swapped) continue;
    retire_node(top.slot);
    ++deleted;
    pop();
  }
  return deleted;
}

void Runtime::adopt(ErasedVelk owner, ErasedVelk owned) {
  std::unique_lock lock(structural_lock_);
  auto check_live = [&](const ErasedVelk& h) {
    if (h.runtime_id != id_ || h.slot >= nodes_.slot_count()) {
      fail("velk-core: adopt of deleted node " + std::to_string(h.slot));
    }
    const NodeRecord& r = nodes_.get(h.slot);
    if (r.load_state() == NodeState::Deleted || r.load_generation() != h.generation) {
      fail("velk-core: adopt of deleted node " + std::to_string(h.slot));
    }
  };
  check_live(owner);
  check_live(owned);
  if (owned.slot < structural_.compute_fns.size() && structural_.compute_fns[owned.slot]) {
    fail("velk-core: adopt of node " + std::to_string(owned.slot) + ", which is not an input");
  }
  if (structural_.owner_of.count(owned.slot)) {
    fail("velk-core: node " + std::to_string(owned.slot) + " adopted twice");
  }
  structural_.owner_of.emplace(owned.slot, owner.slot);
  structural_.owned[owner.slot].push_back(owned.slot);
}

void Runtime::retire_node(uint32_t slot) {
  NodeRecord& record = nodes_.get(slot);
  // lock-free: this thread swapped the node to Deleted; nothing else changes these now.
  const std::vector<uint32_t> deps = record.deps();
  const uint32_t value_index = record.load_value_index();
  const uint16_t arena_tag = record.load_arena_tag();
  record.mark_deleted();

  // Released after the lock: dropping them may run Python code.
  std::shared_ptr<ComputeFunction> fn;
  std::vector<std::shared_ptr<ObserverClosure>> observers;
  std::shared_ptr<ErasedArena> arena;
  std::string label;
  std::weak_ptr<Retirable> state;
  {
    std::unique_lock lock(structural_lock_);
    for (uint32_t dep : deps) structural_.dependents.remove(dep, slot);
    structural_.dependents.clear(slot);
    if (auto it = structural_.owner_of.find(slot); it != structural_.owner_of.end()) {
      const uint32_t owner = it->second;
      structural_.owner_of.erase(it);
      auto list = structural_.owned.find(owner);
      if (list == structural_.owned.end()) {
        fail("velk-core: owner_of names an owner with no owned list");
      }
      erase_from_back(list->second, slot);
      if (list->second.empty()) structural_.owned.erase(list);
    }
    record.retire();
    fn = std::move(structural_.compute_fns.at(slot));
    observers = structural_.observers.remove_of(slot);
    if (auto it = structural_.labels.find(slot); it != structural_.labels.end()) {
      label = std::move(it->second);
      structural_.labels.erase(it);
    }
    if (auto it = structural_.retired_with.find(slot); it != structural_.retired_with.end()) {
      state = std::move(it->second);
      structural_.retired_with.erase(it);
    }
    arena = structural_.arenas.erased(arena_tag);
    structural_.free_slots.push_back(slot);
  }
  fn.reset();
  observers.clear();
  arena->free(value_index);
  if (const std::shared_ptr<Retirable> alive = state.lock()) alive->retire();
}

}  // namespace velk
