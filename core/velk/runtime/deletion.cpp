// Deleting nodes while the runtime is in use, and the ownership that makes an operator's
// nodes go with their owner. The swap to Deleted is the point of no return: it is made under
// the structural read lock together with the dependents test, and dependency commits, which
// add dependents, need the write lock, so no dependent can appear in between.
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
      StructuralLock::ReadGuard held(structural_lock_);
      if (record.load_generation() != handle.generation) fail_deleted_twice(target);
      std::vector<uint32_t> work{target};
      while (!work.empty() && !busy) {
        const uint32_t w = work.back();
        work.pop_back();
        if (!graph_.dependents(w, held).empty()) {
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
        if (const std::vector<uint32_t>* list = ownership_.owned_by(w, held)) {
          // Reversed, so `owned` lists each owner's nodes in adoption order and the retirement
          // below, in reverse, takes each from the back of its owner's list.
          work.insert(work.end(), list->rbegin(), list->rend());
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
  auto next_below = [&](uint32_t s, const StructuralLock::Shared& held) -> std::optional<uint32_t> {
    for (uint32_t d : graph_.dependents(s, held)) {
      if (!on_stack.count(d)) return d;
    }
    if (const std::vector<uint32_t>* owned = ownership_.owned_by(s, held)) {
      for (uint32_t d : *owned) {
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
      StructuralLock::ReadGuard held(structural_lock_);
      if (record.load_generation() != top.generation) {
        held.unlock();
        pop();
        continue;
      }
      if (const auto below = next_below(top.slot, held)) {
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
      StructuralLock::ReadGuard held(structural_lock_);
      if (record.load_generation() != top.generation) {
        held.unlock();
        pop();
        continue;
      }
      if (next_below(top.slot, held)) continue;  // it gained a dependent meanwhile: walk it first
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
  StructuralLock::WriteGuard held(structural_lock_);
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
  if (slots_.is_query(owned.slot, held)) {
    fail("velk-core: adopt of node " + std::to_string(owned.slot) + ", which is not an input");
  }
  ownership_.adopt(owner.slot, owned.slot, held);
}

Runtime::Unlinked Runtime::unlink(uint32_t slot, const StructuralLock::Exclusive& held) {
  NodeRecord& record = nodes_.get(slot);
  graph_.unlink(slot, held);
  record.store_state(NodeState::Deleted);
  Unlinked unlinked;
  unlinked.state = ownership_.unlink(slot, held);
  record.retire();
  unlinked.slot = slots_.release(slot, held);
  unlinked.observers = observers_.remove_of(slot, held);
  unlinked.label = introspection_.take_label(slot, held);
  unlinked.failure = failures_.take(slot, held);
  return unlinked;
}

void Runtime::retire_node(uint32_t slot) {
  Unlinked unlinked;
  {
    StructuralLock::WriteGuard held(structural_lock_);
    unlinked = unlink(slot, held);
  }
  // Released after the lock: dropping them may run Python code.
  unlinked.slot.fn.reset();
  unlinked.slot.equal.reset();
  unlinked.observers.clear();
  unlinked.slot.arena->free(unlinked.slot.value_index);
  if (const std::shared_ptr<Retirable> alive = unlinked.state.lock()) alive->retire();
}

}  // namespace velk
