// The seven states of a node and the checked decoding of the state byte.
#pragma once

#include <cstdint>

namespace velk {

enum class NodeState : uint8_t {
  New = 0,               // never computed, or must be computed without comparing with the old value
  Dirty = 1,             // something upstream may have changed; verify before use
  Computing = 2,         // claimed by one thread that verifies or recomputes it
  Clean = 3,             // current as of verified_at; inputs are always Clean
  Failed = 4,            // last compute failed; reads fail until an invalidation reaches it
  ComputingDirtied = 5,  // claimed, and an invalidation reached it meanwhile
  Deleted = 6,           // deleted; the slot waits on the free-slot list
};

// Fails with "invalid NodeState value: {value}".
[[noreturn]] void fail_invalid_state(uint8_t byte);

// Fails as above for a byte that names no state. Inline: every walk step decodes a state.
inline NodeState decode_state(uint8_t byte) {
  if (byte > static_cast<uint8_t>(NodeState::Deleted)) [[unlikely]]
    fail_invalid_state(byte);
  return static_cast<NodeState>(byte);
}

const char* state_name(NodeState state) noexcept;

}  // namespace velk
