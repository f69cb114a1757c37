#include "velk/graph/wait_graph.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "velk/graph/dep_stack.h"

namespace velk::wait_graph {

namespace {

// A thread that has waited long enough to check: its dependency stack (what it computes) and
// its wait, both guarded by the stack's frames lock.
struct ThreadState {
  SharedDepStack* stack;
  std::optional<WaitTarget> waiting_for;
};

struct Registry {
  std::mutex mutex;
  std::vector<ThreadState*> threads;
};

Registry* the_registry = nullptr;  // replaced only in a forked child, by its one thread

Registry& registry() {
  static const bool made = [] {
    if (the_registry == nullptr)
      the_registry = new Registry();  // never destroyed: threads may exit after main
    return true;
  }();
  (void)made;
  return *the_registry;
}

thread_local ThreadState* registered_here = nullptr;

// Constructed after the thread's dependency stack, so destroyed before it.
struct Registration {
  ThreadState state{&SharedDepStack::current(), std::nullopt};
  Registration() {
    std::lock_guard lock(registry().mutex);
    registry().threads.push_back(&state);
    registered_here = &state;
  }
  ~Registration() {
    std::lock_guard lock(registry().mutex);
    auto& threads = registry().threads;
    threads.erase(std::find(threads.begin(), threads.end(), &state));
    registered_here = nullptr;
  }
};

ThreadState& this_thread_state() {
  thread_local Registration registration;
  return registration.state;
}

}  // namespace

void lock_for_fork() { registry().mutex.lock(); }

void unlock_after_fork() noexcept { registry().mutex.unlock(); }

// The old registry, locked at the fork, is left unreclaimed: its lock cannot be handed over.
void forget_other_threads_after_fork() noexcept {
  the_registry = new Registry();
  if (registered_here != nullptr) the_registry->threads.push_back(registered_here);
}

void Waiting::withdraw() noexcept {
  ThreadState& self = this_thread_state();
  std::lock_guard lock(self.stack->frames_lock());
  self.waiting_for.reset();
}

bool Waiting::closes_cycle() {
  ThreadState& self = this_thread_state();
  if (!published_) {
    std::lock_guard lock(self.stack->frames_lock());
    self.waiting_for = target_;
    published_ = true;
  }
  // Every registered thread's state locked at once: a consistent picture. A cycle in it is
  // permanent, since a thread leaves a wait only when the node it waits for finishes computing.
  // Threads in a cycle all wait and check, so each is registered by the time one finds it.
  std::lock_guard registry_lock(registry().mutex);
  const std::vector<ThreadState*>& threads = registry().threads;
  // Taken in address order: one order for every checker, whatever the registry's order was.
  std::vector<SpinLock*> locks;
  locks.reserve(threads.size());
  for (ThreadState* t : threads) locks.push_back(&t->stack->frames_lock());
  std::sort(locks.begin(), locks.end());
  std::vector<std::unique_lock<SpinLock>> held;
  held.reserve(locks.size());
  for (SpinLock* m : locks) held.emplace_back(*m);
  WaitTarget target = target_;
  for (size_t hops = 0; hops <= threads.size(); ++hops) {
    // A node computing on a thread blocked on a helper is contained by every stack of that
    // chain of helpers, but only the innermost of them can wait on a node: that one is followed.
    const auto holder = std::find_if(threads.begin(), threads.end(), [&](ThreadState* t) {
      return t->waiting_for && t->stack->contains(target.runtime, target.slot);
    });
    if (holder == threads.end()) return false;  // not computing, or not waiting yet
    if (*holder == &self) return true;
    target = *(*holder)->waiting_for;
  }
  return false;
}

}  // namespace velk::wait_graph
