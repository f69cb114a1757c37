#include "velk/wait_graph.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

namespace velk::wait_graph {

namespace {

// One thread's published state; its own mutex is uncontended except during a check.
struct ThreadState {
  std::mutex mutex;
  std::vector<WaitTarget> computing;
  std::optional<WaitTarget> waiting_for;
};

struct Registry {
  std::mutex mutex;
  std::vector<ThreadState*> threads;
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: threads may exit after main
  return *r;
}

struct Registration {
  ThreadState state;
  Registration() {
    std::lock_guard lock(registry().mutex);
    registry().threads.push_back(&state);
  }
  ~Registration() {
    std::lock_guard lock(registry().mutex);
    auto& threads = registry().threads;
    threads.erase(std::find(threads.begin(), threads.end(), &state));
  }
};

ThreadState& this_thread_state() {
  thread_local Registration registration;
  return registration.state;
}

}  // namespace

Computing::Computing(WaitTarget target) {
  ThreadState& self = this_thread_state();
  std::lock_guard lock(self.mutex);
  self.computing.push_back(target);
}

Computing::~Computing() {
  ThreadState& self = this_thread_state();
  std::lock_guard lock(self.mutex);
  self.computing.pop_back();
}

Waiting::~Waiting() {
  if (!published_) return;
  ThreadState& self = this_thread_state();
  std::lock_guard lock(self.mutex);
  self.waiting_for.reset();
}

bool Waiting::closes_cycle() {
  ThreadState& self = this_thread_state();
  if (!published_) {
    std::lock_guard lock(self.mutex);
    self.waiting_for = target_;
    published_ = true;
  }
  // Every thread's state locked at once: a consistent picture. A cycle in it is permanent,
  // since a thread leaves a wait only when the node it waits for finishes computing.
  std::lock_guard registry_lock(registry().mutex);
  std::vector<std::unique_lock<std::mutex>> held;
  held.reserve(registry().threads.size());
  for (ThreadState* t : registry().threads) held.emplace_back(t->mutex);
  WaitTarget target = target_;
  for (size_t hops = 0; hops <= registry().threads.size(); ++hops) {
    const auto holder = std::find_if(registry().threads.begin(), registry().threads.end(),
                                     [&](ThreadState* t) {
                                       return std::find(t->computing.begin(), t->computing.end(),
                                                        target) != t->computing.end();
                                     });
    if (holder == registry().threads.end()) return false;  // not computing: it will finish
    if (*holder == &self) return true;
    if (!(*holder)->waiting_for) return false;
    target = *(*holder)->waiting_for;
  }
  return false;
}

}  // namespace velk::wait_graph
