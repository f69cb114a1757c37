// References dropped where the interpreter lock cannot be taken safely, kept until a thread
// that holds it drains them; and the flag that stops all drops once the interpreter finalizes.
#pragma once

#include <atomic>

#include "support/refs.h"

namespace velk::py {

// Drops a reference now if this thread holds the interpreter lock and is not reclaiming
// retired cells, or is reclaiming but the drop cannot run Python code; otherwise queues it for
// the next thread that enters the module. Does nothing once the interpreter finalizes.
void release_reference(PyObject* obj) noexcept;

namespace pending_detail {
// Whether the list may hold references: read by every method entry, so kept outside the list.
inline std::atomic<bool> nonempty{false};
void drain();
}  // namespace pending_detail

// Drops every reference queued by threads that released a value without the interpreter lock.
// Requires the interpreter lock.
inline void drain_pending_releases() {
  // lock-free: a hint; the queued references are taken under the list's lock.
  if (pending_detail::nonempty.load(std::memory_order_acquire)) pending_detail::drain();
}

// The pending-release list's lock around a fork (velk/runtime/fork_recovery.h), so that no
// thread the child lacks holds it mid-change.
void lock_pending_releases_for_fork();
void unlock_pending_releases_after_fork();

// Marks the interpreter as finalizing: references are leaked from then on, never dropped.
void mark_interpreter_finalizing() noexcept;
bool interpreter_finalizing() noexcept;

}  // namespace velk::py
