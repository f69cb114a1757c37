#include "velk/base/state.h"

#include <string>

#include "velk/base/failure.h"

namespace velk {

void fail_invalid_state(uint8_t byte) { fail("invalid NodeState value: " + std::to_string(byte)); }

const char* state_name(NodeState state) noexcept {
  switch (state) {
    case NodeState::New: return "New";
    case NodeState::Dirty: return "Dirty";
    case NodeState::Computing: return "Computing";
    case NodeState::Clean: return "Clean";
    case NodeState::Failed: return "Failed";
    case NodeState::ComputingDirtied: return "ComputingDirtied";
    case NodeState::Deleted: return "Deleted";
  }
  return "?";
}

}  // namespace velk
