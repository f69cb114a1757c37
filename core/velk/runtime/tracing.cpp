// Trace action names, the clock of traced reads, and the runtime's labels, traced-read
// figures and snapshot, which the introspection component keeps.
#include <ctime>

#include "velk/runtime/runtime.h"

namespace velk {

const char* trace_action_name(TraceAction action) noexcept {
  switch (action) {
    case TraceAction::RecomputedCutoff: return "recomputed_cutoff";
    case TraceAction::RecomputedChanged: return "recomputed_changed";
    case TraceAction::VerifiedClean: return "verified_clean";
  }
  return "?";
}

uint64_t monotonic_ns() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

void Runtime::end_trace(uint32_t target, uint64_t start_ns, TraceReport& report) {
  Introspection::summarize(report, target, start_ns, node_count());
}

void Runtime::set_label(uint32_t slot, std::string label) {
  std::string replaced;  // freed after the lock
  StructuralLock::WriteGuard held(structural_lock_);
  replaced = introspection_.set_label(slot, std::move(label), held);
}

std::optional<std::string> Runtime::label_of(uint32_t slot) const {
  StructuralLock::ReadGuard held(structural_lock_);
  return introspection_.label(slot, held);
}

std::vector<NodeSnapshot> Runtime::graph_snapshot() const {
  StructuralLock::ReadGuard held(structural_lock_);
  return introspection_.snapshot(nodes_, graph_, slots_, held);
}

}  // namespace velk
