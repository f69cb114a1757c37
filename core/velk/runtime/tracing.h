// What a traced read reports: the read path's events, counts and elapsed time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velk/base/check.h"
#include "velk/base/hot_tls.h"

namespace velk {

enum class TraceAction : uint8_t {
  RecomputedCutoff = 0,   // ran and produced a value equal to the stored one
  RecomputedChanged = 1,  // ran and produced a different value, or the node's first value
  VerifiedClean = 2,      // verified current without running its function
};

const char* trace_action_name(TraceAction action) noexcept;

// Nanoseconds of the monotonic clock.
uint64_t monotonic_ns() noexcept;

// No dependency known to have caused a recompute: a first compute, or none found changed.
inline constexpr uint32_t kNoCause = UINT32_MAX;

struct TraceEntry {
  uint32_t slot;
  TraceAction action;
  // The first changed dependency the verification found, for a node that ran because of it.
  uint32_t cause = kNoCause;
  // How long the node's function ran; 0 when not run. The walk settles known dependencies
  // first, so only a dependency read for the first time computes inside it and counts.
  uint64_t compute_ns = 0;
};

// A traced read's figures; the value itself is returned beside it.
struct TraceReport {
  std::vector<TraceEntry> entries;
  uint32_t target = 0;
  uint32_t total_nodes = 0;
  uint64_t nodes_recomputed = 0;
  uint64_t nodes_cutoff = 0;
  uint64_t elapsed_ns = 0;
};

// The traced read running on this thread: the read path reports what it settles here, so
// traced reads on several threads each see only their own events. A traced read nested in a
// compute of another one records its own events until it ends.
class TraceScope {
 public:
  explicit TraceScope(const void* owner) noexcept
      : owner_(owner), outer_(std::exchange(top(), this)) {}
  ~TraceScope() {
    VELK_DCHECK(top() == this);  // scopes end innermost first
    top() = outer_;
  }
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

  static TraceScope* current() noexcept { return top(); }
  const void* owner() const noexcept { return owner_; }
  void add(TraceEntry entry) { entries_.push_back(entry); }
  std::vector<TraceEntry> take() noexcept { return std::move(entries_); }

 private:
  static TraceScope*& top() noexcept { return active_; }

  // Initial-exec and constant-initialised: every compute looks, with one load.
  VELK_HOT_TLS static inline constinit thread_local TraceScope* active_ = nullptr;

  const void* owner_;  // the runtime read
  std::vector<TraceEntry> entries_;
  TraceScope* outer_;
};

struct NodeSnapshot {
  std::vector<uint32_t> dependencies;  // stored order, duplicates included
  std::vector<uint32_t> dependents;    // stored order
  std::optional<std::string> label;
  uint32_t id = 0;
  bool is_compute = false;
};

}  // namespace velk
