// The walk watermark W and its ring: every revision up to W has finished its invalidation walk.
// Writers post finished revisions out of order; any thread moves W over a contiguous run of
// posted revisions. At most 1024 finished revisions wait beyond W.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace velk {

class WalkRing {
 public:
  static constexpr uint64_t kSize = 1024;

  WalkRing();

  // Posts revision `r` as finished and advances W as far as possible; waits while r is more
  // than 1024 ahead of W. Every revision taken must eventually be posted.
  void complete(uint64_t r) noexcept;

  // lock-free: only rises; a stale W is an older, still valid bound.
  uint64_t watermark() const noexcept { return watermark_.load(std::memory_order_acquire); }

  // In a forked child only: revisions up to `w` count as finished (their walks were redone).
  void reset_after_fork(uint64_t w) noexcept;

 private:
  // Moves W forward by one if revision W + 1 has been posted; false otherwise.
  bool try_advance() noexcept;

  std::atomic<uint64_t> watermark_{1};
  std::array<std::atomic<uint64_t>, kSize> entries_;
};

}  // namespace velk
