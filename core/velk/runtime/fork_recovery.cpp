#include "velk/runtime/fork_recovery.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "velk/base/waiting.h"
#include "velk/graph/wait_graph.h"
#include "velk/memory/hazard.h"
#include "velk/runtime/engine_steps.h"
#include "velk/runtime/runtime.h"

namespace velk {

namespace {

struct Registry {
  std::mutex mutex;
  std::vector<Runtime*> runtimes;  // guarded by mutex
};

Registry& registry() {
  static auto* r = new Registry();  // never destroyed: runtimes may outlive static destruction
  return *r;
}

std::atomic<uint32_t> generation{0};
ForkHooks embedding{nullptr, nullptr, nullptr};  // set once at start-up, before any fork

void prepare() {
  registry().mutex.lock();
  for (Runtime* r : registry().runtimes) EngineSteps::lock_for_fork(*r);
  wait_graph::lock_for_fork();
  HazardDomain::global().lock_for_fork();
  if (embedding.prepare) embedding.prepare();
}

void parent() {
  if (embedding.parent) embedding.parent();
  HazardDomain::global().unlock_after_fork();
  wait_graph::unlock_after_fork();
  for (Runtime* r : registry().runtimes) EngineSteps::unlock_after_fork(*r);
  registry().mutex.unlock();
}

void child() {
  generation.fetch_add(1, std::memory_order_acq_rel);
  ParkingLot::reset_after_fork();
  if (embedding.child) embedding.child();
  HazardDomain::global().unlock_after_fork();
  wait_graph::forget_other_threads_after_fork();
  for (Runtime* r : registry().runtimes) EngineSteps::recover_after_fork(*r);
  registry().mutex.unlock();
}

}  // namespace

void register_runtime(Runtime* runtime) {
  static std::once_flag installed;
  std::call_once(installed, [] { pthread_atfork(prepare, parent, child); });
  std::lock_guard lock(registry().mutex);
  registry().runtimes.push_back(runtime);
}

void unregister_runtime(Runtime* runtime) noexcept {
  std::lock_guard lock(registry().mutex);
  auto& runtimes = registry().runtimes;
  runtimes.erase(std::remove(runtimes.begin(), runtimes.end(), runtime), runtimes.end());
}

// lock-free: raised only by a child's fork handler, before the child has other threads.
uint32_t fork_generation() noexcept { return generation.load(std::memory_order_acquire); }

void set_embedding_fork_hooks(ForkHooks hooks) noexcept { embedding = hooks; }

// ---- the runtime's part ----

// Child only, with the lock held across the fork. A claimed query becomes New (computed afresh: the
// dead compute may have written part of its result); a claimed input was being set, so it takes a
// fresh revision. Invalidation walks the dead threads began or owed are redone in bulk: every
// Clean query is verified again, and the watermark stops waiting for their revisions.
void Runtime::release_claims_after_fork(const StructuralLock::Exclusive& held) {
  observers_.reset_deliveries_after_fork(held);
  bool walks_owed = watermark() < revision();
  for (uint32_t slot = 0; slot < nodes_.slot_count(); ++slot) {
    NodeRecord& record = nodes_.get(slot);
    // lock-free: the child's only thread runs here; no other thread is left to move it.
    const NodeState state = record.load_state();
    if (state != NodeState::Computing && state != NodeState::ComputingDirtied) continue;
    if (slots_.is_query(slot, held)) {
      record.store_state(NodeState::New);
      continue;
    }
    const uint64_t r = revision_.fetch_add(1, std::memory_order_acq_rel) + 1;
    record.restamp(r);
    record.store_state(NodeState::Clean);
    walks_owed = true;
  }
  if (!walks_owed) return;
  for (uint32_t slot = 0; slot < nodes_.slot_count(); ++slot) {
    if (slots_.is_query(slot, held)) nodes_.get(slot).cas_state(NodeState::Clean, NodeState::Dirty);
  }
  walk_ring_.reset_after_fork(revision());
}

}  // namespace velk
