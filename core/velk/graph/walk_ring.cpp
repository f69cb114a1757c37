#include "velk/graph/walk_ring.h"

#include "velk/base/spin.h"

namespace velk {

WalkRing::WalkRing() {
  for (auto& e : entries_) e.store(0, std::memory_order_relaxed);
}

bool WalkRing::try_advance() noexcept {
  // lock-free: W and the posted entries only move forward; a stale look fails this step only.
  uint64_t w = watermark_.load(std::memory_order_seq_cst);
  if (entries_[(w + 1) % kSize].load(std::memory_order_seq_cst) != w + 1) return false;
  watermark_.compare_exchange_strong(w, w + 1, std::memory_order_seq_cst);
  return true;  // advanced here or by another thread: look again either way
}

void WalkRing::complete(uint64_t r) noexcept {
  SpinWait spin;
  // The ring position of r may still hold an older revision that W has not passed yet.
  // lock-free: W only rises; a stale read waits one more round.
  while (watermark() + kSize < r) {
    if (!try_advance()) spin.wait();
  }
  entries_[r % kSize].store(r, std::memory_order_seq_cst);  // full fence: post before advancing
  while (try_advance()) {
  }
}

void WalkRing::reset_after_fork(uint64_t w) noexcept {
  for (auto& e : entries_) e.store(0, std::memory_order_relaxed);
  watermark_.store(w, std::memory_order_release);
}

}  // namespace velk
