// Batches of sets: several inputs change under one revision, with one invalidation walk, and no
// compute stores a value that read some of a batch's new values and some of its old ones.
//
// The writer claims every input in slot order (two batches cannot deadlock), marks each as
// being replaced, writes the values, walks their dependents, and only then takes the revision,
// stamps the inputs with it and ends the claims; a single set is a batch of one. The reader's
// side is a check at the end of every compute during which a revision was taken (read_torn);
// CONCURRENCY.md gives the argument.
#include <algorithm>
#include <exception>
#include <typeinfo>

#include "velk/runtime/runtime.h"

namespace velk {

bool Runtime::read_torn_slow(DepFrame& frame) {
  // A compute that set an input keeps its value, as a read overtaken by its own set would make
  // every run torn; the set's walk leaves the node Dirty, and settling's limit applies.
  if (frame.set_input) return false;
  // After every read of the compute: a set whose new value one of them saw took its revision
  // at or before this.
  const uint64_t now = revision();
  const uint64_t start = frame.start.revision;
  // A read that saw a set's value from before it has moved since (it reads the replacing mark
  // or a later stamp, or is no longer Clean); one that saw its new value changed after the
  // start. The old one always comes first: once a read sees a set's new value, its walk is
  // done, and later reads find what it changed marked. So it is torn only where a read that
  // moved comes before one that changed; the reads are looked at from the last one back.
  bool changed_later = false;
  bool torn = false;
  auto look = [&](uint32_t slot) {
    // lock-free: stamps and states are only compared; a change after this look comes after
    // the value, and reaches the node by its walk or by the commit's check of first reads.
    const NodeRecord& read = nodes_.get(slot);
    const bool changed = read.load_changed_at() > start;  // the replacing mark reads above all
    torn = (changed || read.load_state() != NodeState::Clean) && changed_later;
    changed_later = changed_later || changed;
  };
  size_t deps = frame.deps.size(), peeks = frame.peeks.size();
  while (!torn && deps + peeks > 0) {
    if (peeks > 0 && frame.peeks[peeks - 1].after >= deps) {
      look(frame.peeks[--peeks].slot);
    } else {
      look(frame.deps[--deps].slot);
    }
  }
  if (!torn) {
    // Its value may reflect sets up to `now`: a change is stamped no lower, so a compute that
    // read this node before them finds it changed.
    frame.start.seen = now;
    return false;
  }
  frame.deps.clear();
  frame.peeks.clear();
  frame.tainted = false;
  frame.start = frame_start(revision(), watermark());
  return true;
}

void Runtime::set_many(SetBatch& batch) {
  const std::vector<BatchWrite*> changed = batch_changes(batch);
  if (!changed.empty()) apply_batch(changed);
}

std::vector<BatchWrite*> Runtime::batch_changes(SetBatch& batch) {
  std::vector<BatchWrite*> writes;
  writes.reserve(batch.writes_.size());
  for (const std::unique_ptr<BatchWrite>& write : batch.writes_) {
    write->check(*this);  // every refusal comes before anything is written
    writes.push_back(write.get());
  }
  // In slot order, the order of the claims; of a node given twice, the last write stays.
  std::stable_sort(writes.begin(), writes.end(), [](const BatchWrite* a, const BatchWrite* b) {
    return a->node().slot < b->node().slot;
  });
  std::vector<BatchWrite*> changed;
  std::shared_ptr<void> scope;
  const std::type_info* scope_type = nullptr;
  for (size_t i = 0; i < writes.size(); ++i) {
    if (i + 1 < writes.size() && writes[i + 1]->node() == writes[i]->node()) continue;
    if (scope_type == nullptr || *scope_type != writes[i]->value_type()) {
      scope.reset();
      scope = writes[i]->compare_scope();
      scope_type = &writes[i]->value_type();
    }
    if (writes[i]->changes()) changed.push_back(writes[i]);
  }
  return changed;
}

void Runtime::apply_batch(std::span<BatchWrite* const> writes) {
  std::vector<InputClaim> claims;
  claims.reserve(writes.size());
  for (BatchWrite* write : writes) claims.emplace_back(*this, write->node(), write->type_name());
  // Until the revision is stamped, a verifying reader sees every input as changed, and a
  // reader of an input waits for its claim.
  for (BatchWrite* write : writes) record(write->node().slot).begin_replace();
  std::exception_ptr failure;
  try {
    for (BatchWrite* write : writes) write->write();
    // Walked before the revision is taken: a compute that starts at the new revision or later
    // finds every node downstream already marked (CONCURRENCY.md).
    invalidate_all(writes);
  } catch (...) {
    failure = std::current_exception();  // the inputs are stamped and released all the same
  }
  stamp_and_release(claims, std::move(failure));
}

void Runtime::invalidate_all(std::span<BatchWrite* const> writes) {
  // One shared hold for the whole walk, as for a single set.
  StructuralLock::ReadGuard held(structural_lock_);
  for (BatchWrite* write : writes) graph_.mark_downstream(write->node().slot, held);
}

}  // namespace velk
