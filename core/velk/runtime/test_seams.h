// Points where a test stages an interleaving that no caller can reach on purpose. Each is null
// outside tests, and costs a set one relaxed load.
#pragma once

#include <atomic>

namespace velk::test_seams {

// Run by a set, or a batch, with its values written and its walk done, before it takes its
// revision: a reader that brought an input up to date before the claim may read it now.
inline std::atomic<void (*)()> before_set_revision{nullptr};

inline void run_before_set_revision() {
  if (void (*seam)() = before_set_revision.load(std::memory_order_relaxed)) [[unlikely]]
    seam();
}

// Run by a creation, under the structural write lock, once a reused slot's record reads as its
// new node: a reader that reached the slot before its last node's deletion may claim it now.
inline std::atomic<void (*)()> after_slot_reuse{nullptr};

inline void run_after_slot_reuse() {
  if (void (*seam)() = after_slot_reuse.load(std::memory_order_relaxed)) [[unlikely]]
    seam();
}

}  // namespace velk::test_seams
