// A process forked while other threads were inside the engine. The child has only the forking
// thread; whatever the others held would stay held for ever. At the fork every short-held
// process-wide lock is taken (so none is held mid-change by a thread the child lacks), and in
// the child each runtime releases the claims of those threads: their nodes are left out of date
// and the next read computes them again. A collection whose lock such a thread held may be
// mid-change: the child refuses to use it (collection_lock.h).
//
// Lock order at the fork: the runtime registry, each runtime's structural lock, then the leaf
// locks (wait graph, hazard orphans, the embedding's own), matching the order in which threads
// take them.
#pragma once

#include <cstdint>

namespace velk {

class Runtime;

// Live runtimes, so the child can reach all of them. Registering installs the fork handlers.
void register_runtime(Runtime* runtime);
void unregister_runtime(Runtime* runtime) noexcept;

// Counts the forks this process descends from: changes only in a child, before any use.
uint32_t fork_generation() noexcept;

// The embedding's process-wide locks, taken last before a fork and released after it.
struct ForkHooks {
  void (*prepare)();
  void (*parent)();
  void (*child)();
};
void set_embedding_fork_hooks(ForkHooks hooks) noexcept;

}  // namespace velk
