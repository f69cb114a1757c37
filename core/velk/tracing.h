// What a traced read reports: the read path's events, counts and elapsed time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velk {

enum class TraceAction : uint8_t {
  RecomputedCutoff = 0,   // ran and produced a value equal to the stored one
  RecomputedChanged = 1,  // ran and produced a different value, or the node's first value
  VerifiedClean = 2,      // verified current without running its function
};

const char* trace_action_name(TraceAction action) noexcept;

struct TraceEntry {
  uint32_t slot;
  TraceAction action;
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

struct NodeSnapshot {
  std::vector<uint32_t> dependencies;  // stored order, duplicates included
  std::vector<uint32_t> dependents;    // stored order
  std::optional<std::string> label;
  uint32_t id = 0;
  bool is_compute = false;
};

}  // namespace velk
