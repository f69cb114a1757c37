// Observer registration and the stabilize pass. No engine lock is held while an observer
// fires, so callbacks may call any runtime operation.
#include <algorithm>
#include <exception>
#include <thread>

#include "velk/runtime/runtime.h"

namespace velk {

uint64_t Runtime::observed_stamp(const NodeRecord& record) const noexcept {
  // lock-free: a change after this read is delivered at the next pass.
  const uint64_t changed = record.load_changed_at();
  return changed == kRevisionReplacing ? revision() : changed;
}

bool Runtime::read_matches_stamp(const NodeRecord& record, uint64_t stamp, unsigned tries) const {
  // lock-free: see read_observed.
  if (record.load_state() == NodeState::Clean && record.load_changed_at() == stamp &&
      stamp != kRevisionReplacing) {
    return true;
  }
  // A node changing without pause is delivered under the older stamp in the end: delivered
  // again at the next pass, rather than never.
  constexpr unsigned kTries = 64;
  if (tries >= kTries) return true;
  std::this_thread::yield();
  return false;
}

uint64_t Runtime::install_observer(uint32_t slot, uint32_t generation,
                                   std::shared_ptr<ObserverClosure> closure) {
  const NodeRecord& record = nodes_.get(slot);
  // A node with a value fires only for later changes; a never-computed one at the first pass.
  // lock-free: generation and state are re-checked under the lock below.
  const uint64_t last_fired = record.load_state() == NodeState::New ? 0 : observed_stamp(record);
  StructuralLock::WriteGuard held(structural_lock_);
  // Deletion removes observers under this lock: one registered for a node deleted since the
  // handle check would never be removed.
  if (record.load_generation() != generation || record.load_state() == NodeState::Deleted) {
    return 0;
  }
  closure->last_fired_ = last_fired;  // not shared yet
  return observers_.add(std::move(closure), slot, held);
}

void Runtime::unobserve(uint64_t id) {
  std::shared_ptr<ObserverClosure> removed;  // dropped after the lock: it may run Python
  StructuralLock::WriteGuard held(structural_lock_);
  removed = observers_.remove(id, held);
  held.unlock();
}

void Runtime::stabilize() {
  std::vector<std::shared_ptr<ObserverClosure>> pass;
  {
    StructuralLock::ReadGuard held(structural_lock_);
    pass = observers_.pass(held);
  }
  // A node that fails to compute keeps only its own observer from firing; the first such
  // failure is raised once the pass has fired every other observer it can. Its observer counts
  // a failure that stays as delivered: later passes leave it alone until the node computes
  // again.
  std::exception_ptr first_failure;
  for (std::shared_ptr<ObserverClosure>& copied : pass) {
    const std::shared_ptr<ObserverClosure> closure = std::move(copied);
    // An observer removed during the pass still fires in it (it was copied), but not once its
    // node is gone: a deletion, perhaps by an earlier callback, took its observers along.
    if (!is_alive(closure->node())) continue;
    std::exception_ptr failure = fire_observer(*closure);
    if (failure && !first_failure) first_failure = std::move(failure);
  }
  if (first_failure) std::rethrow_exception(first_failure);
}

namespace {

// How many callbacks this thread is running: a pass inside one must not wait for a delivery.
thread_local int callbacks_running = 0;

// Holds an observer's delivery lock and names its holder, so the holder's own thread (a
// callback whose pass reaches its own observer) is told apart from another one.
class DeliveryLock {
 public:
  DeliveryLock(std::mutex& mutex, std::atomic<std::thread::id>& holder)
      : mutex_(mutex), holder_(holder) {}
  ~DeliveryLock() { unlock(); }
  DeliveryLock(const DeliveryLock&) = delete;
  DeliveryLock& operator=(const DeliveryLock&) = delete;

  bool held_here() const noexcept {
    // lock-free: only a holder stores its own id, so a match is exact.
    return holder_.load(std::memory_order_acquire) == std::this_thread::get_id();
  }
  // Waits for the lock unless this thread runs a callback; false when it did not take it.
  bool acquire(bool may_wait) {
    if (held_here()) return false;
    if (may_wait) {
      mutex_.lock();
    } else if (!mutex_.try_lock()) {
      return false;
    }
    holder_.store(std::this_thread::get_id(), std::memory_order_release);
    held_ = true;
    return true;
  }
  void unlock() noexcept {
    if (!held_) return;
    held_ = false;
    holder_.store(std::thread::id(), std::memory_order_release);
    mutex_.unlock();
  }

 private:
  std::mutex& mutex_;
  std::atomic<std::thread::id>& holder_;
  bool held_ = false;
};

}  // namespace

std::exception_ptr Runtime::fire_observer(ObserverClosure& closure) {
  DeliveryLock lock(closure.delivery_, closure.holder_);
  // A pass inside this observer's own callback leaves it alone: the change it made reaches the
  // callback at the next pass (asking again here would loop for ever on a callback that
  // changes its own node).
  if (lock.held_here()) return nullptr;
  // The request is made before the attempt: either this pass takes the lock, or the holder
  // sees the request after letting go (and takes the lock again), or both.
  closure.recheck_.store(true, std::memory_order_release);
  if (!lock.acquire(callbacks_running == 0)) return nullptr;
  do {
    closure.recheck_.store(false, std::memory_order_relaxed);
    if (std::exception_ptr failure = deliver_if_changed(closure)) return failure;
    lock.unlock();
    // lock-free: a request made after this look finds the lock free and delivers itself.
  } while (closure.recheck_.load(std::memory_order_acquire) && lock.acquire(false));
  return nullptr;
}

// Requires the observer's delivery lock.
std::exception_ptr Runtime::deliver_if_changed(ObserverClosure& closure) {
  struct Counted {
    Counted() noexcept { ++callbacks_running; }
    ~Counted() {
      VELK_DCHECK(callbacks_running > 0);
      --callbacks_running;
    }
  };
  bool in_callback = false;
  const uint32_t slot = closure.node().slot;
  const NodeRecord& record = nodes_.get(slot);
  // lock-free: the state before the stamp, so the stamp is at least that of the failure seen.
  // A failure already reported is passed over without raising it again.
  if (record.load_state() == NodeState::Failed && closure.last_fired_ >= observed_stamp(record)) {
    return nullptr;
  }
  try {
    ensure_clean(slot);
    const uint64_t seen = observed_stamp(record);
    if (closure.last_fired_ >= seen) return nullptr;
    closure.delivered_ = 0;
    {
      Counted counted;
      closure.deliver(*this, in_callback);
    }
    closure.last_fired_ = std::max(seen, closure.delivered_);
  } catch (const TransientFailure&) {
    throw;  // an interrupt ends the pass at once
  } catch (...) {
    if (in_callback) throw;                         // a raising callback aborts the pass
    if (!is_alive(closure.node())) return nullptr;  // deleted while it was brought up to date
    // A failure that stays is stamped like a value, and reported like one: once, until the
    // node computes again (a failure that does not stay, a cycle say, is raised every time).
    // lock-free: the stamp before the state, so it is never the stamp of a value computed after
    // the failure (at worst an older one, and the failure is reported again).
    const uint64_t stamp = observed_stamp(record);
    if (record.load_state() == NodeState::Failed) {
      if (closure.last_fired_ >= stamp) return nullptr;
      closure.last_fired_ = stamp;
    }
    return std::current_exception();
  }
  return nullptr;
}

}  // namespace velk
