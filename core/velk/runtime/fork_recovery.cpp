#include "velk/runtime/fork_recovery.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "velk/base/waiting.h"
#include "velk/graph/wait_graph.h"
#include "velk/memory/hazard.h"
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
  for (Runtime* r : registry().runtimes) r->lock_for_fork();
  wait_graph::lock_for_fork();
  HazardDomain::global().lock_for_fork();
  if (embedding.prepare) embedding.prepare();
}

void parent() {
  if (embedding.parent) embedding.parent();
  HazardDomain::global().unlock_after_fork();
  wait_graph::unlock_after_fork();
  for (Runtime* r : registry().runtimes) r->unlock_after_fork();
  registry().mutex.unlock();
}

void child() {
  generation.fetch_add(1, std::memory_order_acq_rel);
  ParkingLot::reset_after_fork();
  if (embedding.child) embedding.child();
  HazardDomain::global().unlock_after_fork();
  wait_graph::forget_other_threads_after_fork();
  for (Runtime* r : registry().runtimes) {
    r->release_claims_after_fork();
    r->reset_lock_after_fork();
  }
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

void Runtime::lock_for_fork() { structural_lock_.lock(); }

void Runtime::unlock_after_fork() noexcept { structural_lock_.unlock(); }

// A reader-writer lock names its writer by kernel thread id, which the child's thread does not
// share with the parent's: the child starts a fresh, unlocked one instead of unlocking.
void Runtime::reset_lock_after_fork() noexcept {
  structural_lock_.~shared_mutex();
  new (&structural_lock_) std::shared_mutex();
}

// Child only, structural lock held. A claimed query becomes New (computed afresh: the dead
// compute may have written part of its result); a claimed input was being set, so it takes a
// fresh revision. Invalidation walks the dead threads began or owed are redone in bulk: every
// Clean query is verified again, and the watermark stops waiting for their revisions.
void Runtime::release_claims_after_fork() {
  // A delivery a thread the child lacks was making never ends: its lock starts afresh.
  for (const auto& entry : structural_.observers.by_id()) {
    ObserverClosure& closure = *entry.second.closure;
    // lock-free: the child's only thread runs here; the other holders are gone.
    const std::thread::id holder = closure.holder_.load(std::memory_order_acquire);
    if (holder == std::thread::id() || holder == std::this_thread::get_id()) continue;
    closure.delivery_.~mutex();
    new (&closure.delivery_) std::mutex();
    closure.holder_.store(std::thread::id(), std::memory_order_release);
  }
  bool walks_owed = watermark() < revision();
  for (uint32_t slot = 0; slot < nodes_.slot_count(); ++slot) {
    NodeRecord& record = nodes_.get(slot);
    // lock-free: as above, no other thread is left to move it.
    const NodeState state = record.load_state();
    if (state != NodeState::Computing && state != NodeState::ComputingDirtied) continue;
    if (structural_.compute_fns[slot]) {
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
    if (structural_.compute_fns[slot])
      nodes_.get(slot).cas_state(NodeState::Clean, NodeState::Dirty);
  }
  walk_ring_.reset_after_fork(revision());
}

}  // namespace velk
